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

// The mount table and the swap list, read once for a disk, its partitions and the loop
// devices over it.
struct UseTables {
    bool read = false;
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

// Bytes of /sys's 512-byte sectors; false when they do not fit.
bool sectors_to_bytes(std::uint64_t sectors, std::uint64_t* bytes)
{
    if (sectors > UINT64_MAX / SYS_SECTOR_SIZE)
        return false;
    *bytes = sectors * SYS_SECTOR_SIZE;
    return true;
}

// Where the device of `folder` lies on its disk: at `start`, for `size` sectors (a disk's
// folder has no `start`: it begins at 0).
bool read_range(const std::string& folder, bool is_partition, std::uint64_t* begin,
                std::uint64_t* end)
{
    std::uint64_t start = 0, size = 0, start_byte = 0, size_bytes = 0;
    if ((is_partition && !read_count(folder + "/start", &start)) ||
        !read_count(folder + "/size", &size) || !sectors_to_bytes(start, &start_byte) ||
        !sectors_to_bytes(size, &size_bytes) || size_bytes > UINT64_MAX - start_byte)
        return false;
    *begin = start_byte;
    *end = start_byte + size_bytes;
    return true;
}

// The mount table and the swap list are read once, and only when a claim needs placing.
const UseTables& tables_of(UseTables* tables, const SystemRoots& roots)
{
    if (!tables->read) {
        tables->mounts = read_mounts(roots.mount_table);
        tables->swap_devices = read_swap_devices(roots.swaps);
        tables->read = true;
    }
    return *tables;
}

// Fills in what /sys's holders and, for a device of a known `number`, the mount table and
// the swap list say uses `part`.
void find_listed_uses(PartUse* part, const std::string& folder, const dev_t* number,
                      const UseTables& tables)
{
    part->holders = sorted_entries(folder + "/holders");
    if (number == nullptr)
        return;
    for (const Mount& mount : tables.mounts) {
        bool mounts_it =
            mount.number == *number || (mount.source_is_node && mount.source_number == *number);
        if (mounts_it && std::find(part->mount_points.begin(), part->mount_points.end(),
                                   mount.mount_point) == part->mount_points.end())
            part->mount_points.push_back(mount.mount_point);
    }
    part->swap = std::find(tables.swap_devices.begin(), tables.swap_devices.end(), *number) !=
                 tables.swap_devices.end();
}

// Loop devices nest: one over another over the disk. The kernel refuses a cycle; this
// bounds a /sys tree that shows one anyway.
const int MAX_LOOP_DEPTH = 8;

std::vector<PartUse> usage_of(const std::string& disk, const SystemRoots& roots,
                              bool probe_partitions, UseTables* tables, int depth);

// What the loop devices over parts of `disk`, which spans [0, disk_end), build and something
// uses, placed on `disk`.
std::vector<PartUse> loop_uses_over(const std::string& disk, std::uint64_t disk_end,
                                    const SystemRoots& roots, bool probe_partitions,
                                    UseTables* tables, int depth)
{
    std::vector<PartUse> uses;
    for (const std::string& loop : sorted_entries(roots.sys_block)) {
        std::string folder = std::string(roots.sys_block) + "/" + loop + "/loop";
        dev_t backing_number;
        DevicePlace backing;
        if (loop == disk || !block_device_number(read_first_line(folder + "/backing_file"),
                                                 &backing_number) ||
            !place_device(backing_number, roots, &backing) || backing.disk != disk)
            continue;
        // The bytes the loop device reaches: from its offset in the backing device, as far
        // as its size limit (0: no limit) and the backing device let it.
        std::uint64_t offset = 0, limit = 0;
        bool placed = backing.placed && read_count(folder + "/offset", &offset) &&
                      read_count(folder + "/sizelimit", &limit);
        std::uint64_t window_begin = 0, window_end = disk_end;
        if (placed) {
            window_begin = offset < backing.end - backing.begin ? backing.begin + offset
                                                                : backing.end;
            window_end = limit != 0 && limit < backing.end - window_begin ? window_begin + limit
                                                                           : backing.end;
        }
        for (PartUse part : usage_of(loop, roots, probe_partitions, tables, depth + 1)) {
            if (!is_in_use(part))
                continue;
            // A part of the loop device maps onto the disk shifted by the window's start.
            if (part.placed && part.begin < window_end - window_begin) {
                part.end = part.end < window_end - window_begin ? window_begin + part.end
                                                                 : window_end;
                part.begin += window_begin;
            } else {
                part.begin = window_begin;
                part.end = window_end;
            }
            part.placed = placed;
            part.through_loop = true;
            uses.push_back(part);
        }
    }
    return uses;
}

std::vector<PartUse> usage_of(const std::string& disk, const SystemRoots& roots,
                              bool probe_partitions, UseTables* tables, int depth)
{
    std::vector<PartUse> parts;
    std::string disk_folder = std::string(roots.sys_block) + "/" + disk;
    struct stat info;
    if (depth > MAX_LOOP_DEPTH || stat(disk_folder.c_str(), &info) != 0 ||
        !S_ISDIR(info.st_mode))
        return parts;
    // A partition's folder is named after its disk (sda1, nvme0n1p1); only those are
    // worth a look among the many entries of a disk's folder.
    std::vector<std::string> folders = {disk_folder};
    parts.emplace_back();
    parts[0].name = disk;
    for (const std::string& name : sorted_entries(disk_folder)) {
        if (name.size() > disk.size() && name.compare(0, disk.size(), disk) == 0 &&
            stat((disk_folder + "/" + name + "/partition").c_str(), &info) == 0) {
            folders.push_back(disk_folder + "/" + name);
            parts.emplace_back();
            parts.back().name = name;
        }
    }
    std::vector<dev_t> numbers(parts.size());
    std::vector<bool> numbered(parts.size());
    for (std::size_t at = 0; at < parts.size(); ++at) {
        parts[at].placed = read_range(folders[at], at > 0, &parts[at].begin, &parts[at].end);
        numbered[at] = parse_device_number(read_first_line(folders[at] + "/dev"), &numbers[at]);
    }

    // The kernel holds a disk while anything holds it or any of its partitions, so a disk
    // that opens exclusively has nothing to look up. A claim is then placed by what the
    // tables show; a claim nothing placed may be of the whole disk.
    int disk_claim = numbered[0]
                         ? exclusive_open_error(node_path(roots.dev, disk), numbers[0])
                         : -1;
    if (disk_claim != 0) {
        bool placed_a_claim = false;
        for (std::size_t at = 0; at < parts.size(); ++at) {
            find_listed_uses(&parts[at], folders[at], numbered[at] ? &numbers[at] : nullptr,
                             tables_of(tables, roots));
            placed_a_claim = placed_a_claim || is_in_use(parts[at]);
        }
        // A whole disk held keeps every partition from opening exclusively, so one that
        // opens shows the disk is not held whole and the busy ones are held themselves.
        bool whole_disk_free = false;
        for (std::size_t at = 1; probe_partitions && at < parts.size(); ++at) {
            if (!numbered[at] || is_in_use(parts[at]))
                continue;
            int claim = exclusive_open_error(node_path(roots.dev, parts[at].name), numbers[at]);
            parts[at].busy = claim == EBUSY;
            whole_disk_free = whole_disk_free || claim == 0;
        }
        if (disk_claim == EBUSY && !placed_a_claim && !whole_disk_free) {
            for (PartUse& part : parts)
                part.busy = false;
            parts[0].busy = true;
        }
    }
    // A loop device reads its backing device through plain opens, which claim nothing.
    std::vector<PartUse> loops =
        loop_uses_over(disk, parts[0].placed ? parts[0].end : UINT64_MAX, roots,
                       probe_partitions, tables, depth);
    parts.insert(parts.end(), loops.begin(), loops.end());
    return parts;
}

}  // namespace

std::string read_first_line(const std::string& path)
{
    std::vector<std::string> lines = read_lines(path.c_str());
    return lines.empty() ? "" : lines[0];
}

SystemRoots system_roots()
{
    return {VORLENT_SYS_BLOCK_ROOT, VORLENT_SYS_DEV_BLOCK_ROOT, VORLENT_DEV_ROOT,
            "/proc/self/mountinfo", "/proc/swaps"};
}

bool is_in_use(const PartUse& part)
{
    return !part.mount_points.empty() || part.swap || !part.holders.empty() || part.busy;
}

std::vector<PartUse> read_disk_usage(const std::string& disk, const SystemRoots& roots,
                                     bool probe_partitions)
{
    UseTables tables;
    return usage_of(disk, roots, probe_partitions, &tables, 0);
}

// The link names the device's folder in /sys/devices: .../block/<disk> for a disk,
// .../block/<disk>/<partition> for a partition.
bool place_device(dev_t number, const SystemRoots& roots, DevicePlace* place)
{
    std::string link = std::string(roots.sys_dev_block) + "/" + std::to_string(major(number)) +
                       ":" + std::to_string(minor(number));
    char target[4096];
    ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
    if (length <= 0)
        return false;
    std::string path(target, static_cast<std::size_t>(length));
    std::size_t last = path.rfind('/');
    std::string name = path.substr(last == std::string::npos ? 0 : last + 1);
    struct stat info;
    bool is_partition = stat((link + "/partition").c_str(), &info) == 0;
    if (is_partition) {
        std::string parent = last == std::string::npos ? "" : path.substr(0, last);
        std::size_t before = parent.rfind('/');
        name = parent.substr(before == std::string::npos ? 0 : before + 1);
    }
    // Only a disk the resolver's tree shows has uses to look up.
    if (name.empty() || name == "." || name == ".." ||
        stat((std::string(roots.sys_block) + "/" + name).c_str(), &info) != 0)
        return false;
    place->disk = name;
    place->placed = read_range(link, is_partition, &place->begin, &place->end);
    return true;
}

int exclusive_open_error(const std::string& node, dev_t number)
{
    dev_t node_number;
    if (!block_device_number(node, &node_number) || node_number != number)
        return -1;
    int descriptor = open(node.c_str(), O_RDONLY | O_EXCL | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0)
        return errno;
    close(descriptor);
    return 0;
}
