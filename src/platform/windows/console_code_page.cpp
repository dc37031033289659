// The console shows 8-bit text in its own output code page, the OEM one (850, 437, ...),
// while the program's text (file names, the system's messages) is in the process's code
// page: UTF-8 where the manifest makes it so (Windows 10 version 1903 on), the ANSI one
// (1252, ...) on older versions and on Windows Server 2019. Where the two differ, a name
// beyond ASCII in the overwrite question, or a message with accented letters, would show as
// other characters, so for the length of the run the console shows the process's code page.
// The console outlives the program, so its own code page is given back at the end.
#include "console_code_page.h"

#include <windows.h>

#include <stdlib.h>

namespace {

// The console's own output code page while the run has replaced it; 0 otherwise.
UINT replaced_output_code_page = 0;

void restore_output_code_page()
{
    if (replaced_output_code_page != 0) {
        SetConsoleOutputCP(replaced_output_code_page);
        replaced_output_code_page = 0;
    }
}

// Ctrl+C, Ctrl+Break and closing the console end the process without the handlers that
// atexit registered; the code page goes back first.
BOOL WINAPI restore_before_console_ends_process(DWORD /*event*/)
{
    restore_output_code_page();
    return FALSE;  // the system's own handling then ends the process as usual
}

// Without a console (output to a file or pipe and no window) its code page is 0, and
// there is nothing to change.
bool show_process_code_page()
{
    UINT console_code_page = GetConsoleOutputCP();
    UINT shown = console_code_page_to_show(GetACP(), console_code_page);
    if (shown == 0 || !SetConsoleOutputCP(shown))
        return false;
    replaced_output_code_page = console_code_page;
    SetConsoleCtrlHandler(restore_before_console_ends_process, TRUE);
    atexit(restore_output_code_page);
    return true;
}

// Set before main runs, so the logic prints into a console that already shows the
// process's code page.
[[maybe_unused]] const bool showing_process_code_page = show_process_code_page();

}  // namespace
