#include "platform/posix/guard/disk_usage.h"

#include "platform/posix/guard/sys_entries.h"
#include "platform/posix/guard/mount_table.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

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
// bounds a /sys tree that shows one anyway, whether followed up or down.
const int MAX_LOOP_DEPTH = 8;

// What a loop device reads and writes, and which of its bytes.
struct LoopBacking {
    bool is_file = false;     // a regular file; otherwise a block device the tree places
    DevicePlace place;        // the block device's
    dev_t file_device = 0;    // the file's file system and inode
    ino_t file_inode = 0;
    bool placed = false;      // whether [begin, end) is known
    std::uint64_t begin = 0;  // the bytes of that disk, or of that file, the loop device reaches
    std::uint64_t end = UINT64_MAX;
};

// False when `loop` is no loop device, or its backing is gone or is a block device the tree
// does not show.
bool read_loop_backing(const std::string& loop, const SystemRoots& roots, LoopBacking* backing)
{
    std::string folder = std::string(roots.sys_block) + "/" + loop + "/loop";
    std::string path = read_first_line(folder + "/backing_file");
    struct stat info;
    if (path.empty() || path[0] != '/' || stat(path.c_str(), &info) != 0)
        return false;
    // From its offset in the backing, as far as its size limit (0: no limit) and the
    // backing let it.
    std::uint64_t offset = 0, limit = 0;
    bool window = read_count(folder + "/offset", &offset) &&
                  read_count(folder + "/sizelimit", &limit);
    if (S_ISREG(info.st_mode)) {
        backing->is_file = true;
        backing->file_device = info.st_dev;
        backing->file_inode = info.st_ino;
        backing->placed = window;
        backing->begin = offset;
        backing->end = limit != 0 && limit <= UINT64_MAX - offset ? offset + limit : UINT64_MAX;
        return true;
    }
    const DevicePlace& place = backing->place;
    if (!S_ISBLK(info.st_mode) || !place_device(info.st_rdev, roots, &backing->place))
        return false;
    backing->placed = window && place.placed;
    if (backing->placed) {
        backing->begin = offset < place.end - place.begin ? place.begin + offset : place.end;
        backing->end = limit != 0 && limit < place.end - backing->begin ? backing->begin + limit
                                                                         : place.end;
    }
    return true;
}

// Whether the partition table of a disk places something in use: one of its partitions, or
// bytes of one under a loop device. (Its partitions come right after the disk itself.)
bool table_in_use(const std::vector<PartUse>& parts)
{
    for (const PartUse& use : parts) {
        if (!is_in_use(use))
            continue;
        for (std::size_t at = 1; at < parts.size() && !parts[at].through_loop; ++at) {
            const PartUse& partition = parts[at];
            if (&use == &partition || (use.placed && partition.placed &&
                                       use.begin < partition.end && partition.begin < use.end))
                return true;
        }
    }
    return false;
}

// The parts of a disk in use whose bytes are known, but the disk itself, as the table's
// rules take them.
std::vector<ByteRange> parts_placed_in_use(const std::vector<PartUse>& parts)
{
    std::vector<ByteRange> ranges;
    for (std::size_t at = 1; at < parts.size(); ++at) {
        if (is_in_use(parts[at]) && parts[at].placed)
            ranges.push_back({parts[at].begin, parts[at].end});
    }
    return ranges;
}

// The bytes of a device as they are: what a disk's own table is seen through.
const Window WHOLE_WINDOW = {true, 0, UINT64_MAX, 0};

// Adds the partition table of `disk`, whose uses are `parts`, where it places any of them
// and `window` shows it.
void add_table(std::vector<TableWindow>* tables, const std::string& disk,
               const std::vector<PartUse>& parts, const Window& window, bool of_loop_over)
{
    if (tables == nullptr || !window.placed || !table_in_use(parts))
        return;
    std::vector<Partition> partitions;
    for (std::size_t at = 1; at < parts.size() && !parts[at].through_loop; ++at) {
        if (parts[at].placed)
            partitions.push_back(
                {parts[at].name, {parts[at].begin, parts[at].end}, is_in_use(parts[at])});
    }
    tables->push_back({disk, window, parts[0].placed ? parts[0].end : 0,
                       parts_placed_in_use(parts), partitions, of_loop_over});
}

// Adds `seen`, tables shown by a device whose bytes `window` shows in turn, as tables that
// window shows; nothing when `tables` is null, as no tables were asked for.
void add_tables_seen(std::vector<TableWindow>* tables, const std::vector<TableWindow>& seen,
                     const Window& window)
{
    if (tables == nullptr)
        return;
    for (TableWindow table : seen) {
        std::uint64_t begin, end;
        table.window.placed = table.window.placed && window.placed;
        if (!table.window.placed ||
            !through_window(window, table.window.begin, table.window.end, &begin, &end))
            continue;
        // Where `begin` lies on the device in between, and so on the table's disk.
        std::uint64_t between = window.source_begin + (begin - window.begin);
        table.window.source_begin += between - table.window.begin;
        table.window.begin = begin;
        table.window.end = end;
        tables->push_back(table);
    }
}

std::vector<PartUse> usage_of(const std::string& disk, const SystemRoots& roots,
                              bool probe_partitions, UseTables* tables, int depth,
                              const std::string& exclude, std::vector<TableWindow>* loop_tables);

// What the loop devices over parts of `disk`, but `exclude`, build and something uses,
// placed on `disk`; with `loop_tables`, adds there their partition tables that place any of
// those, as bytes of `disk`.
std::vector<PartUse> loop_uses_over(const std::string& disk, const SystemRoots& roots,
                                    bool probe_partitions, UseTables* tables, int depth,
                                    const std::string& exclude,
                                    std::vector<TableWindow>* loop_tables)
{
    std::vector<PartUse> uses;
    for (const std::string& loop : sorted_entries(roots.sys_block)) {
        LoopBacking backing;
        if (loop == disk || loop == exclude || !read_loop_backing(loop, roots, &backing) ||
            backing.is_file || backing.place.disk != disk)
            continue;
        Window window = {backing.placed, backing.begin, backing.end, 0};
        std::vector<TableWindow> seen;
        std::vector<TableWindow>* asked = loop_tables != nullptr ? &seen : nullptr;
        std::vector<PartUse> parts =
            usage_of(loop, roots, probe_partitions, tables, depth + 1, "", asked);
        add_table(asked, loop, parts, WHOLE_WINDOW, true);
        add_tables_seen(loop_tables, seen, window);
        for (PartUse part : parts) {
            if (!is_in_use(part))
                continue;
            // A part of the loop device maps onto the disk shifted by the window's start;
            // one that cannot be placed may lie anywhere in the window.
            if (!part.placed || !through_window(window, part.begin, part.end, &part.begin,
                                                &part.end)) {
                part.begin = backing.begin;
                part.end = backing.end;
            }
            part.placed = backing.placed;
            part.through_loop = true;
            uses.push_back(part);
        }
    }
    return uses;
}

// The kernel's answer for the entry `entry` of roots.sys_block, numbered `number`: through
// its node, or, where there is none, through a node of the guard's own.
int claim_error(const SystemRoots& roots, const std::string& entry, dev_t number)
{
    int error = exclusive_open_error(node_path(roots.dev, entry), number);
    return error == -1 ? private_node_error(number, roots.private_nodes) : error;
}

// Whether a partition that nothing here shows in use is mounted out of view.
bool partition_mounted_out_of_view(const std::vector<PartUse>& parts,
                                   const std::vector<dev_t>& numbers,
                                   const std::vector<bool>& numbered)
{
    std::vector<dev_t> mounted;
    bool looked = false;
    for (std::size_t at = 1; at < parts.size(); ++at) {
        if (!numbered[at] || is_in_use(parts[at]))
            continue;
        if (!looked)
            mounted = devices_mounted_out_of_view();
        looked = true;
        if (std::find(mounted.begin(), mounted.end(), numbers[at]) != mounted.end())
            return true;
    }
    return false;
}

std::vector<PartUse> usage_of(const std::string& disk, const SystemRoots& roots,
                              bool probe_partitions, UseTables* tables, int depth,
                              const std::string& exclude, std::vector<TableWindow>* loop_tables)
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
    int disk_claim = numbered[0] ? claim_error(roots, disk, numbers[0]) : -1;
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
            // While the disk is held, a partition the kernel cannot be asked about may be
            // what is held.
            int claim = claim_error(roots, parts[at].name, numbers[at]);
            parts[at].busy = claim == EBUSY || (claim != 0 && disk_claim == EBUSY);
            whole_disk_free = whole_disk_free || claim == 0;
        }
        // Without the partitions' own answers, a mount out of view is found the long way.
        bool held_out_of_view = disk_claim == EBUSY && !probe_partitions && placed_a_claim &&
                                partition_mounted_out_of_view(parts, numbers, numbered);
        if (disk_claim == EBUSY && ((!placed_a_claim && !whole_disk_free) || held_out_of_view)) {
            for (PartUse& part : parts)
                part.busy = false;
            parts[0].busy = true;
        }
    }
    // A loop device reads its backing device through plain opens, which claim nothing.
    std::vector<PartUse> loops =
        loop_uses_over(disk, roots, probe_partitions, tables, depth, exclude, loop_tables);
    parts.insert(parts.end(), loops.begin(), loops.end());
    return parts;
}

// One look at a disk and at what lies under it.
struct Look {
    const SystemRoots& roots;
    bool probe_partitions;
    UseTables use_tables;
    std::vector<PartUse>* parts;        // what is in use, placed on the disk looked at
    std::vector<TableWindow>* tables;  // null when not asked for
};

// Adds what is in use of `disk`, but what the loop device `exclude` builds on it, as bytes of
// the disk looked at that `window` shows, and the partition tables that place any: its own
// and those of loop devices over it.
void add_uses_seen(Look* look, const std::string& disk, const Window& window,
                   const std::string& exclude, int depth)
{
    std::vector<TableWindow> seen;
    std::vector<TableWindow>* asked = look->tables != nullptr ? &seen : nullptr;
    std::vector<PartUse> parts = usage_of(disk, look->roots, look->probe_partitions,
                                          &look->use_tables, depth, exclude, asked);
    for (PartUse part : parts) {
        part.placed = part.placed && window.placed;
        if (!is_in_use(part) ||
            (part.placed && !through_window(window, part.begin, part.end, &part.begin,
                                            &part.end)))
            continue;
        part.through_loop = false;
        part.beneath = true;
        look->parts->push_back(part);
    }
    add_table(asked, disk, parts, WHOLE_WINDOW, false);
    add_tables_seen(look->tables, seen, window);
}

// Adds what is in use under `loop`, if it is a loop device, whose bytes from
// window.source_begin on the disk looked at shows as `window` tells: on its backing device
// and what lies under that in turn, or on the other loop devices over its backing file.
void add_uses_beneath(Look* look, const std::string& loop, const Window& window, int depth)
{
    LoopBacking backing;
    if (depth > MAX_LOOP_DEPTH || !read_loop_backing(loop, look->roots, &backing))
        return;
    // The loop device's bytes [0, end - begin) are its backing's [begin, end).
    Window below = window;
    below.placed = window.placed && backing.placed;
    if (below.placed) {
        if (!through_window(window, 0, backing.end - backing.begin, &below.begin, &below.end))
            return;
        below.source_begin = backing.begin + window.source_begin + (below.begin - window.begin);
    }
    if (!backing.is_file) {
        add_uses_seen(look, backing.place.disk, below, loop, depth);
        add_uses_beneath(look, backing.place.disk, below, depth + 1);
        return;
    }
    for (const std::string& other : sorted_entries(look->roots.sys_block)) {
        LoopBacking sibling;
        if (other == loop || !read_loop_backing(other, look->roots, &sibling) ||
            !sibling.is_file || sibling.file_device != backing.file_device ||
            sibling.file_inode != backing.file_inode)
            continue;
        // The bytes of the file both reach, from where the other one starts in it.
        Window beside = below;
        beside.placed = below.placed && sibling.placed;
        if (beside.placed) {
            if (!through_window(below, sibling.begin, sibling.end, &beside.begin, &beside.end))
                continue;
            beside.source_begin =
                below.source_begin + (beside.begin - below.begin) - sibling.begin;
        }
        add_uses_seen(look, other, beside, "", depth);
    }
}

}  // namespace

bool through_window(const Window& window, std::uint64_t begin, std::uint64_t end,
                    std::uint64_t* seen_begin, std::uint64_t* seen_end)
{
    std::uint64_t length = window.end - window.begin;
    std::uint64_t source_end = window.source_begin > UINT64_MAX - length
                                   ? UINT64_MAX
                                   : window.source_begin + length;
    std::uint64_t low = std::max(begin, window.source_begin);
    std::uint64_t high = std::min(end, source_end);
    if (low >= high)
        return false;
    *seen_begin = window.begin + (low - window.source_begin);
    *seen_end = window.begin + (high - window.source_begin);
    return true;
}

std::string read_first_line(const std::string& path)
{
    std::vector<std::string> lines = read_lines(path.c_str());
    return lines.empty() ? "" : lines[0];
}

bool is_in_use(const PartUse& part)
{
    return !part.mount_points.empty() || part.swap || !part.holders.empty() || part.busy;
}

std::vector<PartUse> read_disk_usage(const std::string& disk, const SystemRoots& roots,
                                     bool probe_partitions, std::vector<TableWindow>* tables)
{
    std::vector<PartUse> parts;
    Look look = {roots, probe_partitions, {}, &parts, tables};
    parts = usage_of(disk, roots, probe_partitions, &look.use_tables, 0, "", tables);
    if (parts.empty())
        return parts;
    add_table(tables, disk, parts, WHOLE_WINDOW, false);
    add_uses_beneath(&look, disk, WHOLE_WINDOW, 0);
    return parts;
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

int open_disk_node(const std::string& disk, const SystemRoots& roots)
{
    dev_t number;
    if (!parse_device_number(read_first_line(std::string(roots.sys_block) + "/" + disk + "/dev"),
                             &number))
        return -1;
    // Without waiting, should a FIFO stand in the node's place.
    int descriptor = open(node_path(roots.dev, disk).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat info;
    if (descriptor >= 0 &&
        (fstat(descriptor, &info) != 0 || !S_ISBLK(info.st_mode) || info.st_rdev != number)) {
        close(descriptor);
        return -1;
    }
    return descriptor;
}

int private_node_error(dev_t number, const char* folder)
{
    if (folder == nullptr)
        return -1;
    std::string made = std::string(folder) + "/vorlent-node.XXXXXX";
    if (mkdtemp(&made[0]) == nullptr)
        return -1;
    std::string node = made + "/node";
    int error = mknod(node.c_str(), S_IFBLK | 0600, number) == 0
                    ? exclusive_open_error(node, number)
                    : -1;
    unlink(node.c_str());
    rmdir(made.c_str());
    return error;
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
