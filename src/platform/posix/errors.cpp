// The last error and its text: errno values with the system's words, plus the one code
// the port raises for which there is no errno.
#include "platform/posix/api.h"

#include <cstdlib>
#include <cstring>

namespace {

// The calling thread's last error, as Windows keeps it per thread.
thread_local DWORD last_error = NO_ERROR;

// The text for a code, or null when the port has none.
const char* text_of(DWORD code)
{
    if (code == ERROR_HANDLE_EOF)
        return "Reached the end of the file";
    if (code > static_cast<DWORD>(INT32_MAX))
        return nullptr;
    return strerrordesc_np(static_cast<int>(code));
}

}  // namespace

DWORD GetLastError()
{
    return last_error;
}

void SetLastError(DWORD code)
{
    last_error = code;
}

// Supports the one way the program asks: an allocated text from the system, with no
// inserts. The text ends with a line break, as Windows' texts do; the caller keeps it.
// Returns the length of the text, or 0 (with the code left as the last error) when the
// code has no text.
DWORD FormatMessageA(DWORD /*flags*/, LPCVOID /*source*/, DWORD message_id,
                     DWORD /*language_id*/, LPSTR buffer, DWORD /*size*/,
                     va_list* /*arguments*/)
{
    const char* text = text_of(message_id);
    if (text == nullptr)
        return 0;
    std::size_t length = std::strlen(text);
    char* copy = static_cast<char*>(std::malloc(length + 2));
    if (copy == nullptr)
        return 0;
    std::memcpy(copy, text, length);
    copy[length] = '\n';
    copy[length + 1] = '\0';
    *reinterpret_cast<char**>(buffer) = copy;
    return static_cast<DWORD>(length + 1);
}
