#include "platform/posix/write_guard.h"

#include "platform/posix/api.h"

#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct DriveGuard {
    int descriptor;
    std::string disk;  // its entry in roots.sys_block
    SystemRoots roots;
    bool looked = false;  // whether `in_use` has been taken yet
    std::vector<ByteRange> in_use;
};

// The block devices open for writing through a drive name. What is in use on one is
// looked up at its first write: a Save, which opens the drive for writing but only reads
// it, never pays for the look. A run holds one drive at a time; the list is searched, not
// indexed.
std::vector<DriveGuard> guards;

}  // namespace

std::vector<ByteRange> ranges_in_use(const std::string& disk, const SystemRoots& roots)
{
    const std::vector<ByteRange> WHOLE_DISK = {{0, UINT64_MAX}};
    const std::uint64_t LAST_PLACEABLE_SECTOR = UINT64_MAX / SYS_SECTOR_SIZE;
    // Where the kernel says at once that nothing holds the disk, the tables need no reading.
    if (disk_is_unclaimed(disk, roots))
        return {};
    std::vector<PartUse> parts = read_disk_usage(disk, roots);
    std::vector<ByteRange> ranges;
    for (std::size_t at = 0; at < parts.size(); ++at) {
        const PartUse& part = parts[at];
        if (!is_in_use(part))
            continue;
        // The disk itself, or a partition that cannot be placed, may lie under any byte.
        if (at == 0 || !part.placed || part.start > LAST_PLACEABLE_SECTOR ||
            part.size > LAST_PLACEABLE_SECTOR - part.start)
            return WHOLE_DISK;
        ranges.push_back(
            {part.start * SYS_SECTOR_SIZE, (part.start + part.size) * SYS_SECTOR_SIZE});
    }
    return ranges;
}

bool touches_any(const std::vector<ByteRange>& ranges, std::uint64_t position,
                 std::uint64_t count)
{
    if (count == 0)
        return false;
    std::uint64_t end = count > UINT64_MAX - position ? UINT64_MAX : position + count;
    for (const ByteRange& range : ranges) {
        if (position < range.end && range.begin < end)
            return true;
    }
    return false;
}

void guard_drive_writes(int descriptor, const char* device_path, const SystemRoots& roots)
{
    end_drive_guard(descriptor);
    struct stat info;
    if (fstat(descriptor, &info) != 0 || !S_ISBLK(info.st_mode))
        return;
    const char* slash = std::strrchr(device_path, '/');
    DriveGuard guard;
    guard.descriptor = descriptor;
    guard.disk = slash == nullptr ? device_path : slash + 1;
    guard.roots = roots;
    guards.push_back(guard);
}

bool write_is_allowed(int descriptor, std::uint64_t count)
{
    for (DriveGuard& guard : guards) {
        if (guard.descriptor != descriptor)
            continue;
        if (!guard.looked) {
            guard.in_use = ranges_in_use(guard.disk, guard.roots);
            guard.looked = true;
        }
        off_t position = lseek(descriptor, 0, SEEK_CUR);
        if (position < 0) {
            SetLastError(static_cast<DWORD>(errno));
            return false;
        }
        if (touches_any(guard.in_use, static_cast<std::uint64_t>(position), count)) {
            SetLastError(static_cast<DWORD>(EBUSY));
            return false;
        }
        return true;
    }
    return true;
}

void end_drive_guard(int descriptor)
{
    for (std::size_t at = 0; at < guards.size(); ++at) {
        if (guards[at].descriptor == descriptor) {
            guards.erase(guards.begin() + static_cast<std::ptrdiff_t>(at));
            return;
        }
    }
}
