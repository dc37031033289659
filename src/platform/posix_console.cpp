// Console services of the port: output that is on the terminal at once, and one key
// without echo or Enter.
#include "platform/posix_api.h"

#include <csignal>
#include <cstdio>
#include <termios.h>
#include <unistd.h>

namespace {

// The terminal settings to put back; valid while `terminal_changed` is set.
termios saved_terminal;
volatile sig_atomic_t terminal_changed = 0;

// The signals that may end the process during a key wait; each puts the terminal back
// before the signal takes its ordinary course.
const int RESTORING_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void restore_terminal()
{
    if (terminal_changed) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal);
        terminal_changed = 0;
    }
}

void restore_and_reraise(int signal_number)
{
    restore_terminal();
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

// Reads one byte; -1 at the end of input or on an error.
int read_one_byte()
{
    unsigned char byte = 0;
    for (;;) {
        ssize_t got = read(STDIN_FILENO, &byte, 1);
        if (got == 1)
            return byte;
        if (got < 0 && errno == EINTR)
            continue;
        return -1;
    }
}

}  // namespace

int printf_s(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    int written = std::vprintf(format, arguments);
    va_end(arguments);
    std::fflush(stdout);
    return written;
}

// With a terminal, reads one key in non-canonical mode without echo. Without one, the
// key is the next byte of standard input, and the end of input answers at once with -1
// so that a process with no input never hangs.
int _getch()
{
    std::fflush(stdout);
    termios raw;
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved_terminal) != 0)
        return read_one_byte();

    struct sigaction restoring = {};
    restoring.sa_handler = restore_and_reraise;
    sigemptyset(&restoring.sa_mask);
    struct sigaction previous[sizeof RESTORING_SIGNALS / sizeof RESTORING_SIGNALS[0]];
    for (std::size_t i = 0; i < sizeof RESTORING_SIGNALS / sizeof RESTORING_SIGNALS[0]; ++i)
        sigaction(RESTORING_SIGNALS[i], &restoring, &previous[i]);

    raw = saved_terminal;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    terminal_changed = 1;
    int key = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0 ? read_one_byte() : -1;
    restore_terminal();

    for (std::size_t i = 0; i < sizeof RESTORING_SIGNALS / sizeof RESTORING_SIGNALS[0]; ++i)
        sigaction(RESTORING_SIGNALS[i], &previous[i], nullptr);
    return key;
}
