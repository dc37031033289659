#include "platform/posix/disk_usage.h"

#include "platform/posix/drives.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// A line of the mount table, reduced to what tells which device it mounts where.
struct Mount {
    dev_t number;         // the file system's device (field 3)
    bool source_is_node;  // the source names a block device node, whose number is
    dev_t source_number;  // the device's own where field 3 is an anonymous one (btrfs)
    std::string mount_point;
};

// The mount table and the swap list, read once for all the partitions of a disk.
struct UseTables {
    std::vector<Mount> mounts;
    std::vector<dev_t> swap_devices;
};

// A whole decimal number on the first line; false for anything else, so a damaged entry
// is never taken for a range it does not state.
bool read_count(const std::string& path, std::uint64_t* value)
{
    std::string text = read_first_line(path);
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0])))
        return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long parsed = std::strtoull(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0')
        return false;
    *value = parsed;
    return true;
}

// "major:minor", as /sys's `dev` files and the mount table write a device number.
bool parse_device_number(const std::string& text, dev_t* number)
{
    unsigned major_number = 0, minor_number = 0;
    char rest = 0;
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0])) ||
        std::sscanf(text.c_str(), "%u:%u%c", &major_number, &minor_number, &rest) != 2)
        return false;
    *number = makedev(major_number, minor_number);
    return true;
}

// The number of the block device node at the absolute `path`; false for anything else.
bool block_device_number(const std::string& path, dev_t* number)
{
    struct stat info;
    if (path.empty() || path[0] != '/' || stat(path.c_str(), &info) != 0 ||
        !S_ISBLK(info.st_mode))
        return false;
    *number = info.st_rdev;
    return true;
}

bool is_octal_digit(char c)
{
    return c >= '0' && c <= '7';
}

// Undoes the escapes (\040 for a space, \011, \012, \134) of the mount table and swap list.
std::string unescape(const std::string& text)
{
    std::string plain;
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (text[at] == '\\' && at + 3 < text.size() && is_octal_digit(text[at + 1]) &&
            is_octal_digit(text[at + 2]) && is_octal_digit(text[at + 3])) {
            plain += static_cast<char>((text[at + 1] - '0') * 64 + (text[at + 2] - '0') * 8 +
                                       (text[at + 3] - '0'));
            at += 3;
        } else {
            plain += text[at];
        }
    }
    return plain;
}

// The lines of a small text file, without their line breaks. Plain C reads: the guard
// runs before the first write of a Load, where a stream library's set-up would cost more
// than the sector being written.
std::vector<std::string> read_lines(const char* path)
{
    std::vector<std::string> lines;
    FILE* file = std::fopen(path, "re");
    if (file == nullptr)
        return lines;
    char* line = nullptr;
    std::size_t capacity = 0;
    for (ssize_t length; (length = getline(&line, &capacity, file)) >= 0;) {
        if (length > 0 && line[length - 1] == '\n')
            --length;
        lines.emplace_back(line, static_cast<std::size_t>(length));
    }
    std::free(line);
    std::fclose(file);
    return lines;
}

std::vector<std::string> words_of(const std::string& line)
{
    std::vector<std::string> words;
    std::size_t at = 0;
    while ((at = line.find_first_not_of(" \t", at)) != std::string::npos) {
        std::size_t end = line.find_first_of(" \t", at);
        words.push_back(line.substr(at, end - at));
        at = end;
    }
    return words;
}

// Each line: id, parent, major:minor, root, mount point, optional fields, "-", type,
// source, options.
std::vector<Mount> read_mounts(const char* mount_table)
{
    std::vector<Mount> mounts;
    for (const std::string& line : read_lines(mount_table)) {
        std::vector<std::string> words = words_of(line);
        Mount mount = {};
        if (words.size() < 5 || !parse_device_number(words[2], &mount.number))
            continue;
        mount.mount_point = unescape(words[4]);
        auto separator = std::find(words.begin() + 5, words.end(), "-");
        if (words.end() - separator >= 3)
            mount.source_is_node =
                block_device_number(unescape(*(separator + 2)), &mount.source_number);
        mounts.push_back(mount);
    }
    return mounts;
}

// The swap areas on block devices. A swap file lies in a mounted file system, which the
// mount table already shows.
std::vector<dev_t> read_swap_devices(const char* swaps)
{
    std::vector<dev_t> numbers;
    std::vector<std::string> lines = read_lines(swaps);
    for (std::size_t at = 1; at < lines.size(); ++at) {  // after the heading
        std::vector<std::string> words = words_of(lines[at]);
        dev_t number;
        if (!words.empty() && block_device_number(unescape(words[0]), &number))
            numbers.push_back(number);
    }
    return numbers;
}

// The kernel's own answer, where <dev>/<name> is the node of `number`: an exclusive open
// fails with EBUSY while anything holds the device, also a mount that this process's
// mount table cannot see. Returns 0 when the open succeeds, the errno when it fails, and
// -1 when there is no such node to ask.
int exclusive_open_error(const SystemRoots& roots, const std::string& name, dev_t number)
{
    std::string node = std::string(roots.dev) + "/" + name;
    dev_t node_number;
    if (!block_device_number(node, &node_number) || node_number != number)
        return -1;
    int descriptor = open(node.c_str(), O_RDONLY | O_EXCL | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0)
        return errno;
    close(descriptor);
    return 0;
}

// What uses the device whose /sys folder is `folder`. Its range is left to the caller.
PartUse read_part(const std::string& folder, const std::string& name, const UseTables& tables,
                  const SystemRoots& roots, bool may_probe)
{
    PartUse part;
    part.name = name;
    part.holders = sorted_entries(folder + "/holders");
    dev_t number;
    if (!parse_device_number(read_first_line(folder + "/dev"), &number))
        return part;
    for (const Mount& mount : tables.mounts) {
        bool mounts_it =
            mount.number == number || (mount.source_is_node && mount.source_number == number);
        if (mounts_it && std::find(part.mount_points.begin(), part.mount_points.end(),
                                   mount.mount_point) == part.mount_points.end())
            part.mount_points.push_back(mount.mount_point);
    }
    part.swap = std::find(tables.swap_devices.begin(), tables.swap_devices.end(), number) !=
                tables.swap_devices.end();
    // Any other failure (no rights, no medium) says nothing.
    if (may_probe && !is_in_use(part))
        part.busy = exclusive_open_error(roots, name, number) == EBUSY;
    return part;
}

}  // namespace

std::string read_first_line(const std::string& path)
{
    std::vector<std::string> lines = read_lines(path.c_str());
    return lines.empty() ? "" : lines[0];
}

SystemRoots system_roots()
{
    return {VORLENT_SYS_BLOCK_ROOT, VORLENT_DEV_ROOT, "/proc/self/mountinfo", "/proc/swaps"};
}

bool disk_is_unclaimed(const std::string& disk, const SystemRoots& roots)
{
    dev_t number;
    return parse_device_number(
               read_first_line(std::string(roots.sys_block) + "/" + disk + "/dev"), &number) &&
           exclusive_open_error(roots, disk, number) == 0;
}

bool is_in_use(const PartUse& part)
{
    return !part.mount_points.empty() || part.swap || !part.holders.empty() || part.busy;
}

std::vector<PartUse> read_disk_usage(const std::string& disk, const SystemRoots& roots)
{
    std::vector<PartUse> parts;
    std::string disk_folder = std::string(roots.sys_block) + "/" + disk;
    struct stat info;
    if (stat(disk_folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return parts;
    // A partition's folder is named after its disk (sda1, nvme0n1p1); only those are
    // worth a look among the many entries of a disk's folder.
    std::vector<std::string> partitions;
    for (const std::string& name : sorted_entries(disk_folder)) {
        if (name.size() > disk.size() && name.compare(0, disk.size(), disk) == 0 &&
            stat((disk_folder + "/" + name + "/partition").c_str(), &info) == 0)
            partitions.push_back(name);
    }
    UseTables tables = {read_mounts(roots.mount_table), read_swap_devices(roots.swaps)};

    // The kernel counts a disk as held while any of its partitions is, so only a disk
    // without partitions can answer for itself.
    parts.push_back(read_part(disk_folder, disk, tables, roots, partitions.empty()));
    parts.back().placed = read_count(disk_folder + "/size", &parts.back().size);
    for (const std::string& name : partitions) {
        std::string folder = disk_folder + "/" + name;
        parts.push_back(read_part(folder, name, tables, roots, true));
        parts.back().placed = read_count(folder + "/start", &parts.back().start) &&
                              read_count(folder + "/size", &parts.back().size);
    }
    return parts;
}
