#include "platform/posix/direct_io.h"

#include "platform/posix/descriptor_list.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

namespace {

// A drive written past the cache where it can be.
struct DirectDrive {
    int descriptor;
    std::size_t block_size;  // the device's logical block: 512, or 4,096 on a 4Kn disk
    bool direct = false;     // whether O_DIRECT is set on the descriptor now
    bool refused = false;    // the device or its driver would not take direct I/O
    off_t first_read = -1;   // where the run's reads began
};

// The drives open now.
std::vector<DirectDrive> drives;

// Sets or clears O_DIRECT; false when the descriptor will not take the change.
bool set_direct(DirectDrive& drive, bool direct)
{
    if (drive.direct == direct)
        return true;
    int flags = fcntl(drive.descriptor, F_GETFL);
    if (flags < 0 || fcntl(drive.descriptor, F_SETFL,
                           direct ? flags | O_DIRECT : flags & ~O_DIRECT) != 0)
        return false;
    drive.direct = direct;
    return true;
}

// How many of `count` bytes at `buffer` go past the cache now: the whole blocks, when the
// position and the buffer lie on a block boundary; otherwise none.
std::size_t direct_count(const DirectDrive& drive, const void* buffer, std::size_t count)
{
    std::size_t blocks = count - count % drive.block_size;
    if (drive.refused || blocks == 0 ||
        reinterpret_cast<std::uintptr_t>(buffer) % drive.block_size != 0)
        return 0;
    off_t position = lseek(drive.descriptor, 0, SEEK_CUR);
    if (position < 0 || static_cast<std::uint64_t>(position) % drive.block_size != 0)
        return 0;
    return blocks;
}

}  // namespace

void start_direct_io(int descriptor)
{
    end_direct_io(descriptor);
    int block_size = 0;
    if (ioctl(descriptor, BLKSSZGET, &block_size) != 0 || block_size <= 0)
        return;
    drives.push_back({descriptor, static_cast<std::size_t>(block_size)});
}

void end_direct_io(int descriptor)
{
    erase_entry(drives, descriptor);
}

// Reads go through the cache, whose read-ahead fetches the next chunk while the last one
// is written out: from a device whose cache was just dropped, a large Save measured about
// a third quicker that way than with direct reads, which fetch nothing ahead. The pages of
// the chunks already read are dropped as the run goes on, so a whole card passes through
// the cache in a few chunks' worth of memory instead of filling it and pushing out what
// other programs keep there; a 4.3 GB Save from a loop device measured quicker and far
// steadier that way, as the kernel had no memory to win back in the middle of the copy.
ssize_t read_some(int descriptor, void* buffer, std::size_t count)
{
    DirectDrive* drive = find_entry(drives, descriptor);
    if (drive == nullptr)
        return read(descriptor, buffer, count);
    if (!set_direct(*drive, false))
        return -1;
    off_t start = lseek(descriptor, 0, SEEK_CUR);
    ssize_t got = read(descriptor, buffer, count);
    if (got > 0 && start >= 0) {
        // Only the pages before this read: those after it are the read-ahead. The cache
        // keeps a device's pages in blocks larger than a chunk, and drops only blocks that
        // lie wholly in the range it is given, so the range starts where the run began.
        if (drive->first_read < 0 || drive->first_read > start)
            drive->first_read = start;
        else if (drive->first_read < start)
            posix_fadvise(descriptor, drive->first_read, start - drive->first_read,
                          POSIX_FADV_DONTNEED);
    }
    return got;
}

// A direct write the device refuses (EINVAL) is made again through the cache, and so is
// every later one: the device has shown that it cannot take them.
ssize_t write_some(int descriptor, const void* buffer, std::size_t count)
{
    DirectDrive* drive = find_entry(drives, descriptor);
    if (drive == nullptr)
        return write(descriptor, buffer, count);
    std::size_t direct = direct_count(*drive, buffer, count);
    if (direct > 0 && set_direct(*drive, true)) {
        ssize_t written = write(descriptor, buffer, direct);
        if (written >= 0 || errno != EINVAL)
            return written;
    }
    if (direct > 0)
        drive->refused = true;
    if (!set_direct(*drive, false))
        return -1;
    return write(descriptor, buffer, count);
}
