#include "platform/posix/guard/stored_bytes.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Direct reads start, end and land on the device's logical block; the largest there is
// serves every device.
const std::uint64_t DIRECT_ALIGNMENT = 4096;

// The cache holds a device's pages in folios of up to 2 MiB and drops only those wholly in
// the range it is given: the range is widened to them.
const std::uint64_t LARGEST_FOLIO = 2 * 1024 * 1024;

bool read_fully(int descriptor, std::uint64_t position, char* at, std::size_t count)
{
    while (count > 0) {
        ssize_t got = pread(descriptor, at, count, static_cast<off_t>(position));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        at += got;
        position += static_cast<std::uint64_t>(got);
        count -= static_cast<std::size_t>(got);
    }
    return true;
}

// The whole blocks around the bytes, read with O_DIRECT set for the moment. 0 when read,
// EINVAL where the device or its file system takes no direct reads, another errno (EIO at
// the device's end) when they cannot be read.
int read_direct(int descriptor, std::uint64_t position, void* bytes, std::size_t count)
{
    std::uint64_t begin = position - position % DIRECT_ALIGNMENT;
    std::uint64_t end = position + count;
    if (end % DIRECT_ALIGNMENT != 0)
        end += DIRECT_ALIGNMENT - end % DIRECT_ALIGNMENT;
    int flags = fcntl(descriptor, F_GETFL);
    if (flags < 0 || fcntl(descriptor, F_SETFL, flags | O_DIRECT) != 0)
        return EINVAL;
    void* blocks = nullptr;
    int code = posix_memalign(&blocks, DIRECT_ALIGNMENT, end - begin);
    // Near the device's end a direct read comes back short; only the bytes asked for count.
    std::size_t got = 0;
    while (code == 0 && begin + got < position + count) {
        ssize_t part = pread(descriptor, static_cast<char*>(blocks) + got, end - begin - got,
                             static_cast<off_t>(begin + got));
        if (part < 0 && errno == EINTR)
            continue;
        if (part <= 0)
            code = part < 0 ? errno : EIO;
        else
            got += static_cast<std::size_t>(part);
    }
    if (code == 0)
        std::memcpy(bytes, static_cast<char*>(blocks) + (position - begin), count);
    std::free(blocks);
    fcntl(descriptor, F_SETFL, flags);
    return code;
}

}  // namespace

bool read_stored(int descriptor, std::uint64_t position, void* bytes, std::size_t count)
{
    if (count == 0)
        return true;
    if (position > UINT64_MAX - count - 2 * LARGEST_FOLIO)
        return false;
    int code = read_direct(descriptor, position, bytes, count);
    if (code != EINVAL)
        return code == 0;
    std::uint64_t begin = position - position % LARGEST_FOLIO;
    std::uint64_t end = position + count + LARGEST_FOLIO - (position + count) % LARGEST_FOLIO;
    posix_fadvise(descriptor, static_cast<off_t>(begin), static_cast<off_t>(end - begin),
                  POSIX_FADV_DONTNEED);
    return read_fully(descriptor, position, static_cast<char*>(bytes), count);
}
