// The port's answer to may_write_at: what its guard would say of the write.
#include "platform/posix/api.h"
#include "platform/posix/write_guard.h"

#include <cerrno>
#include <cstdint>
#include <unistd.h>

namespace {

// The guard's verdict on a write at `position`: it judges writes where the descriptor
// stands, so the descriptor is placed there for the question and put back after it.
bool write_is_allowed_at(int descriptor, std::uint64_t position, const void* buffer,
                         std::uint64_t count)
{
    off_t now = lseek(descriptor, 0, SEEK_CUR);
    if (now < 0 || lseek(descriptor, static_cast<off_t>(position), SEEK_SET) < 0) {
        SetLastError(static_cast<DWORD>(errno));
        return false;
    }
    bool allowed = write_is_allowed(descriptor, buffer, count);
    if (lseek(descriptor, now, SEEK_SET) < 0) {
        SetLastError(static_cast<DWORD>(errno));
        return false;
    }
    return allowed;
}

}  // namespace

BOOL may_write_at(HANDLE file, ULONGLONG position, LPCVOID buffer, DWORD count)
{
    int descriptor = static_cast<int>(reinterpret_cast<std::intptr_t>(file));
    return write_is_allowed_at(descriptor, position, buffer, count) ? TRUE : FALSE;
}
