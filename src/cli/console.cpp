#include "cli/console.h"

#include "cli/transfer_request.h"

#include <stdarg.h>

namespace {

// Asks for the system's text in the user's default language, allocated by the system.
const DWORD ERROR_TEXT_FLAGS =
    FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM;
const DWORD ERROR_TEXT_LANGUAGE = MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT);

int format_into(char* buffer, const char* template_text, ...)
{
    va_list arguments;
    va_start(arguments, template_text);
    int length = _vsnprintf_s(buffer, NAME_BUFFER_SIZE, _TRUNCATE, template_text, arguments);
    va_end(arguments);
    return length;
}

}  // namespace

// Output to a pipe or pager is buffered; the prompt must be out before the wait.
void wait_for_key()
{
    fflush(stdout);
    _getch();
}

void report_system_error()
{
    DWORD code = GetLastError();
    LPSTR text = NULL;
    DWORD length = FormatMessageA(ERROR_TEXT_FLAGS, NULL, code, ERROR_TEXT_LANGUAGE,
                                  reinterpret_cast<LPSTR>(&text), 0, NULL);
    // The system's text brings its own line break; a bare code gets one here, so the
    // blank line before the prompt stays either way.
    if (length == 0 || text == NULL)
        printf_s("Error %u\n\n", static_cast<unsigned>(code));
    else
        printf_s("Error %s\n", text);
    printf_s("Press any key to exit");
    wait_for_key();
}

bool format_name(char* buffer, const char* template_text, const char* text)
{
    return format_into(buffer, template_text, text) >= 0;
}
