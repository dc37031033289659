#include "loop_device.h"

#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

std::string without_line_break(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

// Loop devices are numbered machine-wide, and so are the drives of the shipped program: a
// test that attaches or detaches one while another test's drive number is in use would
// move that number. So every test process holds one lock, on a file every build shares,
// for as long as it has any loop device of its own attached.
int loop_lock = -1;
int loop_devices_held = 0;

void hold_loop_lock()
{
    if (loop_devices_held++ > 0)
        return;
    std::string path =
        (std::filesystem::temp_directory_path() / "vorlent-loop-devices.lock").string();
    loop_lock = open(path.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
    if (loop_lock < 0 || flock(loop_lock, LOCK_EX) != 0)
        ADD_FAILURE() << "could not lock " << path;
}

void release_loop_lock()
{
    if (--loop_devices_held == 0 && loop_lock >= 0) {
        close(loop_lock);
        loop_lock = -1;
    }
}

}  // namespace

std::string output_of(const std::string& command)
{
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return "";
    std::string output;
    char bytes[256];
    for (std::size_t got; (got = std::fread(bytes, 1, sizeof bytes, pipe)) > 0;)
        output.append(bytes, got);
    return pclose(pipe) == 0 ? without_line_break(output) : "";
}

LoopDevice::LoopDevice(const std::string& image, bool partitions, unsigned sector_size,
                       const std::string& options)
{
    hold_loop_lock();
    std::string shown = output_of("losetup -f --show --sector-size " +
                                  std::to_string(sector_size) + (partitions ? " -P " : " ") +
                                  options + " '" + image + "' 2>/dev/null");
    if (shown.rfind("/dev/loop", 0) == 0) {
        device = shown;
        name = shown.substr(5);
    }
    if (partitions && !device.empty() && !std::filesystem::exists(partition_entry(1)))
        std::system(("partx -a " + device + " >/dev/null 2>&1").c_str());
}

std::string LoopDevice::partition_entry(int number) const
{
    return "/sys/block/" + name + "/" + name + "p" + std::to_string(number);
}

LoopDevice::~LoopDevice()
{
    if (!device.empty() && std::system(("losetup -d " + device).c_str()) != 0)
        ADD_FAILURE() << "could not detach " << device;
    release_loop_lock();
}

bool is_loop_over(const LoopDevice& loop, const std::string& image)
{
    std::string entry = "/sys/block/" + loop.name;
    std::string backing = without_line_break(read_whole_file(entry + "/loop/backing_file"));
    if (backing.empty() || backing != std::filesystem::canonical(image).string())
        return false;
    unsigned major_number = 0, minor_number = 0;
    std::string numbers = read_whole_file(entry + "/dev");
    struct stat info;
    return std::sscanf(numbers.c_str(), "%u:%u", &major_number, &minor_number) == 2 &&
           stat(loop.device.c_str(), &info) == 0 && S_ISBLK(info.st_mode) &&
           major(info.st_rdev) == major_number && minor(info.st_rdev) == minor_number;
}

std::string make_partition_node(const LoopDevice& loop, int number, const std::string& node)
{
    std::string numbers = without_line_break(read_whole_file(loop.partition_entry(number) + "/dev"));
    unsigned major_number = 0, minor_number = 0;
    if (std::sscanf(numbers.c_str(), "%u:%u", &major_number, &minor_number) != 2 ||
        mknod(node.c_str(), S_IFBLK | 0600, makedev(major_number, minor_number)) != 0)
        return "";
    return numbers;
}
