// Loop devices over a test's own image files: attached and detached by the test itself,
// and checked to be what they claim right before anything is written through them.
#pragma once

#include <string>

// The standard output of a shell command without its last line break, or "" when the
// command fails.
std::string output_of(const std::string& command);

// A loop device over an image file, detached on every path out of the test.
struct LoopDevice {
    std::string device;  // /dev/loopN, or "" when none could be attached
    std::string name;    // loopN

    explicit LoopDevice(const std::string& image);
    ~LoopDevice();
    LoopDevice(const LoopDevice&) = delete;
    LoopDevice& operator=(const LoopDevice&) = delete;
};

// True when `loop` is, at this moment, the loop device over `image`: its /sys/block entry
// exists, names that backing file, and is the block device at its /dev path.
bool is_loop_over(const LoopDevice& loop, const std::string& image);
