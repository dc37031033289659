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

    // With `partitions`, the kernel shows the partitions of the image's table in /sys
    // (partx adds them where the kernel's own scan does not read that kind of table).
    // `sector_size` is the device's logical block size; `options` go to losetup as they
    // are ("-o 1048576").
    explicit LoopDevice(const std::string& image, bool partitions = false,
                        unsigned sector_size = 512, const std::string& options = "");
    ~LoopDevice();
    // The /sys/block folder of partition `number`.
    std::string partition_entry(int number) const;
    LoopDevice(const LoopDevice&) = delete;
    LoopDevice& operator=(const LoopDevice&) = delete;
};

// True when `loop` is, at this moment, the loop device over `image`: its /sys/block entry
// exists, names that backing file, and is the block device at its /dev path.
bool is_loop_over(const LoopDevice& loop, const std::string& image);

// Makes `node` the block device of partition `number` of `loop`, from the numbers in its
// /sys entry: without udev no node appears for it. Returns those numbers ("259:3"), or ""
// when the node could not be made.
std::string make_partition_node(const LoopDevice& loop, int number, const std::string& node);
