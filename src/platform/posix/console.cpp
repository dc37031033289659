// Console services of the port: output that is on the terminal at once, and one key
// without echo or Enter.
#include "platform/posix/api.h"

#include <csignal>
#include <cstdio>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

// The terminal settings to put back; valid while `terminal_changed` is set.
termios saved_terminal;
volatile sig_atomic_t terminal_changed = 0;

// The settings a key wait reads under; valid while `waiting_raw` is set, which says that
// a wait in progress wants them back after the process was stopped and continued.
termios raw_terminal;
volatile sig_atomic_t waiting_raw = 0;

// Whether `signal_number`, left to its default, ends the process: every signal but the
// ones that stop or continue it, those ignored by default, and the two no handler sees.
// Each of them puts the terminal back during a key wait before it takes its course.
bool ends_the_process(int signal_number)
{
    switch (signal_number) {
    case SIGKILL:
    case SIGSTOP:
    case SIGTSTP:
    case SIGTTIN:
    case SIGTTOU:
    case SIGCONT:
    case SIGCHLD:
    case SIGURG:
    case SIGWINCH:
        return false;
    default:
        return true;
    }
}

const int ESCAPE = 0x1B;

// A terminal writes every byte of one key at once, so the rest of a key is there within
// moments of its first byte. The wait only bounds how long a lone Escape takes to count
// as a key of its own.
const int REST_OF_KEY_MILLISECONDS = 100;

// A byte read while looking for the end of a key that turned out to start the next one;
// the next call answers with it. -1: none.
int held_byte = -1;

void restore_terminal()
{
    if (terminal_changed) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal);
        terminal_changed = 0;
    }
}

void apply_raw_terminal()
{
    if (waiting_raw) {
        terminal_changed = 1;
        tcsetattr(STDIN_FILENO, TCSANOW, &raw_terminal);
    }
}

void restore_and_reraise(int signal_number)
{
    restore_terminal();
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

void stop_with_terminal_restored(int);

void catch_stop()
{
    struct sigaction stopping = {};
    stopping.sa_handler = stop_with_terminal_restored;
    sigemptyset(&stopping.sa_mask);
    sigaction(SIGTSTP, &stopping, nullptr);
}

// Ctrl+Z: the shell gets the terminal as it was, and once the process is continued the
// wait goes on raw. The stop is the default action, taken inside the handler so that the
// raw settings come back after it even when the system discards the stop, as it does in
// a process group that no shell controls.
void stop_with_terminal_restored(int)
{
    int saved_errno = errno;
    restore_terminal();
    std::signal(SIGTSTP, SIG_DFL);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTSTP);
    sigprocmask(SIG_UNBLOCK, &stop, nullptr);
    std::raise(SIGTSTP);
    catch_stop();
    apply_raw_terminal();
    errno = saved_errno;
}

// Any continue, also after a stop that could not be caught: the shell has put its own
// settings on the terminal meanwhile.
void reapply_after_continue(int)
{
    int saved_errno = errno;
    apply_raw_terminal();
    errno = saved_errno;
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

// The next byte of the key being typed if it follows at once; -1 if none does.
int next_byte_of_key()
{
    pollfd input = {STDIN_FILENO, POLLIN, 0};
    int ready;
    do
        ready = poll(&input, 1, REST_OF_KEY_MILLISECONDS);
    while (ready < 0 && errno == EINTR);
    return ready > 0 ? read_one_byte() : -1;
}

// How many bytes follow `lead` in a UTF-8 character; 0 for any byte that starts none.
int continuation_count(int lead)
{
    if (lead >= 0xC2 && lead <= 0xDF)
        return 1;
    if (lead >= 0xE0 && lead <= 0xEF)
        return 2;
    if (lead >= 0xF0 && lead <= 0xF4)
        return 3;
    return 0;
}

// Takes the continuation bytes of a UTF-8 character that starts with `lead`.
void take_rest_of_character(int lead)
{
    for (int missing = continuation_count(lead); missing > 0; --missing) {
        int byte = next_byte_of_key();
        if (byte < 0)
            return;
        if ((byte & 0xC0) != 0x80) {
            held_byte = byte;
            return;
        }
    }
}

// Takes what follows an Escape in the same key: a control sequence (ESC [ or ESC O,
// parameters, then one final byte; the Linux console's F1 to F5 are ESC [ [ and a
// letter), or the one key that Alt sends after it, which may itself be a sequence.
void take_rest_of_escape()
{
    int byte = next_byte_of_key();
    while (byte == ESCAPE)
        byte = next_byte_of_key();
    if (byte != '[' && byte != 'O') {
        if (byte >= 0)
            take_rest_of_character(byte);
        return;
    }
    int next = next_byte_of_key();
    if (byte == '[' && next == '[')
        next = next_byte_of_key();
    while (next >= 0x20 && next <= 0x3F)
        next = next_byte_of_key();
    if (next >= 0 && (next < 0x40 || next > 0x7E))
        held_byte = next;
}

// One key from the terminal: its first byte, with the rest of its bytes taken so that
// none is left for the next reader of the terminal, such as the shell.
int read_key()
{
    int first = held_byte;
    held_byte = -1;
    if (first < 0)
        first = read_one_byte();
    if (first == ESCAPE)
        take_rest_of_escape();
    else if (first >= 0)
        take_rest_of_character(first);
    return first;
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

// With a terminal, reads one key in non-canonical mode without echo and answers with its
// first byte. Without one, the key is the next byte of standard input, and the end of
// input answers at once with -1 so that a process with no input never hangs.
int _getch()
{
    std::fflush(stdout);
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved_terminal) != 0)
        return read_one_byte();

    // A signal ignored by whoever started the program stays ignored during the wait. The
    // numbers the C library keeps for itself refuse a handler and are left alone.
    struct sigaction restoring = {};
    restoring.sa_handler = restore_and_reraise;
    sigemptyset(&restoring.sa_mask);
    struct sigaction previous[NSIG];
    bool replaced[NSIG] = {};
    for (int number = 1; number < NSIG; ++number) {
        if (ends_the_process(number) && sigaction(number, nullptr, &previous[number]) == 0 &&
            previous[number].sa_handler != SIG_IGN)
            replaced[number] = sigaction(number, &restoring, nullptr) == 0;
    }
    struct sigaction previous_stop;
    struct sigaction previous_continue;
    struct sigaction continuing = {};
    continuing.sa_handler = reapply_after_continue;
    sigemptyset(&continuing.sa_mask);
    sigaction(SIGCONT, &continuing, &previous_continue);
    sigaction(SIGTSTP, nullptr, &previous_stop);
    if (previous_stop.sa_handler != SIG_IGN)
        catch_stop();

    raw_terminal = saved_terminal;
    raw_terminal.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw_terminal.c_cc[VMIN] = 1;
    raw_terminal.c_cc[VTIME] = 0;
    waiting_raw = 1;
    terminal_changed = 1;
    int key = tcsetattr(STDIN_FILENO, TCSANOW, &raw_terminal) == 0 ? read_key() : -1;
    waiting_raw = 0;
    restore_terminal();

    sigaction(SIGTSTP, &previous_stop, nullptr);
    sigaction(SIGCONT, &previous_continue, nullptr);
    for (int number = 1; number < NSIG; ++number) {
        if (replaced[number])
            sigaction(number, &previous[number], nullptr);
    }
    return key;
}
