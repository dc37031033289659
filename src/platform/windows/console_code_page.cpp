// The console shows the program's 8-bit text in its own output code page. Where the
// manifest has made UTF-8 the code page of the process (Windows 10 version 1903 on), file
// names and the system's messages arrive in UTF-8, while the console still shows its OEM
// code page, and a name beyond ASCII in the overwrite question would show as other
// characters. So for the length of the run the console shows UTF-8. The console outlives
// the program, so its own code page is given back at the end. On older Windows the process
// keeps its ANSI code page, which the console already shows alike, and nothing changes.
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

// Without a console (output to a file or pipe and no window) the code page is 0, and
// there is nothing to change.
bool show_utf8_on_console()
{
    UINT console_code_page = GetConsoleOutputCP();
    if (GetACP() != CP_UTF8 || console_code_page == 0 || console_code_page == CP_UTF8)
        return false;
    if (!SetConsoleOutputCP(CP_UTF8))
        return false;
    replaced_output_code_page = console_code_page;
    SetConsoleCtrlHandler(restore_before_console_ends_process, TRUE);
    atexit(restore_output_code_page);
    return true;
}

// Set before main runs, so the logic prints into a console that already shows UTF-8.
[[maybe_unused]] const bool showing_utf8 = show_utf8_on_console();

}  // namespace
