// The port's answer to may_write_at: what its guard would say of the write.
#include "platform/posix/api.h"
#include "platform/posix/write_guard.h"

#include <cstdint>

BOOL may_write_at(HANDLE file, ULONGLONG position, LPCVOID buffer, DWORD count)
{
    int descriptor = static_cast<int>(reinterpret_cast<std::intptr_t>(file));
    return write_is_allowed_at(descriptor, position, buffer, count) ? TRUE : FALSE;
}
