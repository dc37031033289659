// The port's answers to may_write_at and may_write_length: what its guard would say of the
// write, and that a Linux block device or file takes a tail of any size.
#include "platform/posix/api.h"
#include "platform/posix/guard/write_guard.h"

#include <cerrno>
#include <cstdint>

BOOL may_write_at(HANDLE file, ULONGLONG position, LPCVOID buffer, DWORD count)
{
    int descriptor = static_cast<int>(reinterpret_cast<std::intptr_t>(file));
    if (write_is_allowed_at(descriptor, position, buffer, count))
        return TRUE;
    SetLastError(static_cast<DWORD>(errno));
    return FALSE;
}

BOOL may_write_length(HANDLE, ULONGLONG)
{
    return TRUE;
}
