#include "platform/posix/api.h"

#include <cstdio>

// Formats at most `count` characters (or as many as fit, for _TRUNCATE) into a buffer of
// `size` bytes, always terminated. Returns the length, or -1 when the text was cut; as on
// Windows, a cut with a count other than _TRUNCATE leaves the buffer empty.
int _vsnprintf_s(char* buffer, std::size_t size, std::size_t count, const char* format,
                 va_list arguments)
{
    if (buffer == nullptr || size == 0)
        return -1;
    std::size_t limit = count == _TRUNCATE || count >= size ? size : count + 1;
    int needed = std::vsnprintf(buffer, limit, format, arguments);
    if (needed < 0) {
        buffer[0] = '\0';
        return -1;
    }
    if (static_cast<std::size_t>(needed) < limit)
        return needed;
    if (count != _TRUNCATE)
        buffer[0] = '\0';
    return -1;
}
