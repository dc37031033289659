#include "platform/posix/guard/write_guard.h"

#include "platform/posix/descriptor_list.h"
#include "platform/posix/guard/stored_bytes.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Bytes of a partition table that places a part in use: a write may touch them only to
// leave them as they are.
struct TableBytes {
    ByteRange on_disk;         // of the disk the guarded device lies on
    std::string disk;          // whose table it is, read to compare
    std::uint64_t disk_begin;  // where on_disk.begin lies on that disk
};

struct DriveGuard {
    int descriptor;
    dev_t number;  // the block device's
    SystemRoots roots;
    bool looked = false;      // whether `in_use` has been taken yet
    std::uint64_t base = 0;   // where the device's first byte lies on its disk
    std::vector<ByteRange> in_use;
    std::vector<TableBytes> tables;
    int claim = -1;           // the disk, held exclusively from the look on; -1: not held
};

// The block devices open for writing. What is in use on one is looked up at its first
// write: a Save, which opens the drive for writing but only reads it, never pays for the
// look.
std::vector<DriveGuard> guards;

const std::vector<ByteRange> WHOLE_DISK = {{0, UINT64_MAX}};

// A disk's table is read in its own logical blocks; 512 bytes where the device does not say.
std::uint64_t logical_block_size(int descriptor)
{
    int size = 0;
    return ioctl(descriptor, BLKSSZGET, &size) == 0 && size >= 512 ? static_cast<unsigned>(size)
                                                                   : 512;
}

// The bytes of each table in `windows`, as bytes of the disk looked at; adds to `in_use`
// what they keep from every write.
std::vector<TableBytes> table_bytes(const std::vector<TableWindow>& windows,
                                    const SystemRoots& roots, std::vector<ByteRange>* in_use)
{
    std::vector<TableBytes> tables;
    for (const TableWindow& table : windows) {
        KeptTable kept = kept_table(table, roots);
        for (const ByteRange& range : kept.bytes)
            tables.push_back({range, table.disk,
                              table.window.source_begin + (range.begin - table.window.begin)});
        for (const HeldPartition& held : kept.held)
            in_use->insert(in_use->end(), held.bytes.begin(), held.bytes.end());
    }
    return tables;
}

// The bytes in use of the disk whose parts read_disk_usage gave.
std::vector<ByteRange> ranges_of(const std::vector<PartUse>& parts)
{
    std::vector<ByteRange> ranges;
    for (std::size_t at = 0; at < parts.size(); ++at) {
        const PartUse& part = parts[at];
        if (!is_in_use(part))
            continue;
        // The disk itself, or a part that cannot be placed, may lie under any byte.
        if (at == 0 || !part.placed)
            return WHOLE_DISK;
        ranges.push_back({part.begin, part.end});
    }
    return ranges;
}

// Holds the block device open on `descriptor` exclusively, as an O_EXCL open of its node
// does: while the claim lasts, the kernel lets nothing mount, swap on or claim the device or,
// on a disk, any of its partitions. The descriptor of the claim, or -1 (errno EBUSY when
// something holds the device or a part of it already).
int claim_device(int descriptor)
{
    std::string node = "/proc/self/fd/" + std::to_string(descriptor);
    return open(node.c_str(), O_RDONLY | O_EXCL | O_NONBLOCK | O_CLOEXEC);
}

// What is in use of the disk the guarded device lies on, and where on it the device lies.
// Then the disk is claimed, after the exclusive probes of the look, which the claim would
// answer otherwise; unless /sys does not show it, when the device itself is. A loop device
// over a range of the disk opens it as plain reads and writes do, so the claim does not
// keep it out: what uses one is looked up with the rest.
void look_up_use(DriveGuard* guard)
{
    guard->looked = true;
    guard->tables.clear();
    DevicePlace place;
    if (!place_device(guard->number, guard->roots, &place)) {
        // /sys does not show the device: the kernel still answers for it as a whole,
        // through the descriptor's own node.
        guard->claim = claim_device(guard->descriptor);
        guard->in_use.clear();
        if (guard->claim < 0 && errno == EBUSY)
            guard->in_use = WHOLE_DISK;
        return;
    }
    std::vector<TableWindow> windows;
    guard->in_use = ranges_of(read_disk_usage(place.disk, guard->roots, true, &windows));
    if (!place.placed && !guard->in_use.empty())
        guard->in_use = WHOLE_DISK;
    else
        guard->tables = table_bytes(windows, guard->roots, &guard->in_use);
    guard->base = place.placed ? place.begin : 0;
    int disk = open_disk_node(place.disk, guard->roots);
    if (disk >= 0) {
        guard->claim = claim_device(disk);
        close(disk);
    }
}

// Whether the `count` bytes at `bytes`, to be written at byte `position` of the disk, leave
// every table byte they reach as the disk holds it now. Only those bytes are read.
bool leaves_tables_as_they_are(const DriveGuard& guard, std::uint64_t position,
                               const char* bytes, std::uint64_t count)
{
    std::uint64_t end = count > UINT64_MAX - position ? UINT64_MAX : position + count;
    for (const TableBytes& table : guard.tables) {
        std::uint64_t low = std::max(position, table.on_disk.begin);
        std::uint64_t high = std::min(end, table.on_disk.end);
        if (low >= high)
            continue;
        std::string now(high - low, '\0');
        int descriptor = open_disk_node(table.disk, guard.roots);
        bool same = descriptor >= 0 &&
                    read_stored(descriptor, table.disk_begin + (low - table.on_disk.begin),
                                &now[0], now.size()) &&
                    std::memcmp(now.data(), bytes + (low - position), now.size()) == 0;
        if (descriptor >= 0)
            close(descriptor);
        if (!same)
            return false;
    }
    return true;
}

// The size of the block device open on `descriptor`, which the kernel cuts every write at;
// UINT64_MAX when it does not tell.
std::uint64_t device_size(int descriptor)
{
    std::uint64_t size = 0;
    return ioctl(descriptor, BLKGETSIZE64, &size) == 0 ? size : UINT64_MAX;
}

// Whether the guard of a device looked up already lets the `count` bytes at `buffer` be
// written at byte `position` of it; errno EBUSY when not.
bool allowed_at(DriveGuard* guard, std::uint64_t position, const void* buffer,
                std::uint64_t count)
{
    int descriptor = guard->descriptor;
    std::uint64_t size = device_size(descriptor);
    count = position >= size ? 0 : std::min(count, size - position);
    std::uint64_t on_disk =
        position > UINT64_MAX - guard->base ? UINT64_MAX : guard->base + position;
    if (touches_any(guard->in_use, on_disk, count) ||
        !leaves_tables_as_they_are(*guard, on_disk, static_cast<const char*>(buffer), count)) {
        errno = EBUSY;
        return false;
    }
    return true;
}

}  // namespace

KeptTable kept_table(const TableWindow& table, const SystemRoots& roots)
{
    // A table whose disk cannot be read is taken to lie everywhere a table may, and is never
    // found unchanged.
    int descriptor = open_disk_node(table.disk, roots);
    std::uint64_t block_size = descriptor < 0 ? 512 : logical_block_size(descriptor);
    KeptTable kept = read_partition_table(descriptor, table.disk_size, block_size, table.in_use,
                                          table.partitions);
    if (descriptor >= 0)
        close(descriptor);
    auto seen = [&table](std::vector<ByteRange>* ranges) {
        std::vector<ByteRange> shown;
        for (ByteRange range : *ranges) {
            if (through_window(table.window, range.begin, range.end, &range.begin, &range.end))
                shown.push_back(range);
        }
        *ranges = shown;
    };
    for (std::vector<ByteRange>* ranges :
         {&kept.bytes, &kept.records, &kept.placed, &kept.extended})
        seen(ranges);
    for (HeldPartition& held : kept.held)
        seen(&held.bytes);
    return kept;
}

std::vector<ByteRange> ranges_in_use(const std::string& disk, const SystemRoots& roots)
{
    return ranges_of(read_disk_usage(disk, roots, true));
}

bool touches_any(const std::vector<ByteRange>& ranges, std::uint64_t position,
                 std::uint64_t count)
{
    if (count == 0)
        return false;
    std::uint64_t end = count > UINT64_MAX - position ? UINT64_MAX : position + count;
    return overlaps_any(ranges, position, end);
}

void guard_block_device_writes(int descriptor, const SystemRoots& roots)
{
    end_drive_guard(descriptor);
    struct stat info;
    if (fstat(descriptor, &info) != 0 || !S_ISBLK(info.st_mode))
        return;
    DriveGuard guard;
    guard.descriptor = descriptor;
    guard.number = info.st_rdev;
    guard.roots = roots;
    guards.push_back(guard);
}

bool write_is_allowed(int descriptor, const void* buffer, std::uint64_t count)
{
    DriveGuard* guard = find_entry(guards, descriptor);
    if (guard == nullptr)
        return true;
    off_t position = lseek(descriptor, 0, SEEK_CUR);
    if (position < 0)
        return false;
    if (!guard->looked)
        look_up_use(guard);
    return allowed_at(guard, static_cast<std::uint64_t>(position), buffer, count);
}

bool write_is_allowed_at(int descriptor, std::uint64_t position, const void* buffer,
                         std::uint64_t count)
{
    DriveGuard* guard = find_entry(guards, descriptor);
    if (guard == nullptr)
        return true;
    if (!guard->looked || guard->claim < 0)
        look_up_use(guard);
    return allowed_at(guard, position, buffer, count);
}

void end_drive_guard(int descriptor)
{
    DriveGuard* guard = find_entry(guards, descriptor);
    if (guard != nullptr && guard->claim >= 0)
        close(guard->claim);
    erase_entry(guards, descriptor);
}
