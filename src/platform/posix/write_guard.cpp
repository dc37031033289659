#include "platform/posix/write_guard.h"

#include "platform/posix/api.h"
#include "platform/posix/descriptor_list.h"

#include <sys/stat.h>
#include <unistd.h>

namespace {

struct DriveGuard {
    int descriptor;
    dev_t number;  // the block device's
    SystemRoots roots;
    bool looked = false;      // whether `in_use` has been taken yet
    std::uint64_t base = 0;   // where the device's first byte lies on its disk
    std::vector<ByteRange> in_use;
};

// The block devices open for writing. What is in use on one is looked up at its first
// write: a Save, which opens the drive for writing but only reads it, never pays for the
// look.
std::vector<DriveGuard> guards;

const std::vector<ByteRange> WHOLE_DISK = {{0, UINT64_MAX}};

// What is in use of the disk the guarded device lies on, and where on it the device lies.
void look_up_use(DriveGuard* guard)
{
    guard->looked = true;
    DevicePlace place;
    if (!place_device(guard->number, guard->roots, &place)) {
        // /sys does not show the device: the kernel still answers for it as a whole,
        // through the descriptor's own node.
        std::string node = "/proc/self/fd/" + std::to_string(guard->descriptor);
        if (exclusive_open_error(node, guard->number) == EBUSY)
            guard->in_use = WHOLE_DISK;
        return;
    }
    guard->in_use = ranges_in_use(place.disk, guard->roots);
    if (!place.placed && !guard->in_use.empty())
        guard->in_use = WHOLE_DISK;
    guard->base = place.placed ? place.begin : 0;
}

}  // namespace

std::vector<ByteRange> ranges_in_use(const std::string& disk, const SystemRoots& roots)
{
    std::vector<PartUse> parts = read_disk_usage(disk, roots, true);
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

bool write_is_allowed(int descriptor, std::uint64_t count)
{
    DriveGuard* guard = find_entry(guards, descriptor);
    if (guard == nullptr)
        return true;
    if (!guard->looked)
        look_up_use(guard);
    off_t position = lseek(descriptor, 0, SEEK_CUR);
    if (position < 0) {
        SetLastError(static_cast<DWORD>(errno));
        return false;
    }
    std::uint64_t on_disk = static_cast<std::uint64_t>(position);
    if (touches_any(guard->in_use,
                    on_disk > UINT64_MAX - guard->base ? UINT64_MAX : guard->base + on_disk,
                    count)) {
        SetLastError(static_cast<DWORD>(EBUSY));
        return false;
    }
    return true;
}

void end_drive_guard(int descriptor)
{
    erase_entry(guards, descriptor);
}
