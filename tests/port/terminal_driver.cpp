#include "terminal_driver.h"

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

// How long one read waits before the caller checks its condition again.
const int POLL_MILLISECONDS = 5;

bool reap_if_ended(Terminal* terminal)
{
    if (terminal->child < 0)
        return true;
    int status = 0;
    if (waitpid(terminal->child, &status, WNOHANG) != terminal->child)
        return false;
    terminal->wait_status = status;
    terminal->child = -1;
    return true;
}

}  // namespace

void read_available(Terminal* terminal, int timeout_ms)
{
    if (terminal->closed)
        return;
    pollfd ready = {terminal->master, POLLIN, 0};
    if (poll(&ready, 1, timeout_ms) <= 0)
        return;
    char bytes[4096];
    ssize_t got = read(terminal->master, bytes, sizeof bytes);
    if (got > 0)
        terminal->output.append(bytes, static_cast<std::size_t>(got));
    else if (got == 0 || errno != EINTR)
        terminal->closed = true;
}

Deadline seconds_from_now(int seconds)
{
    return std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
}

Terminal::~Terminal()
{
    if (child > 0) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    if (master >= 0)
        close(master);
}

bool start_in_terminal(Terminal* terminal, const std::function<void()>& child_body)
{
    pid_t child = forkpty(&terminal->master, nullptr, nullptr, nullptr);
    if (child < 0)
        return false;
    if (child == 0) {
        termios settings;
        tcgetattr(STDIN_FILENO, &settings);
        settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
        tcsetattr(STDIN_FILENO, TCSANOW, &settings);
        child_body();
        _exit(127);
    }
    terminal->child = child;
    return true;
}

bool wait_for_text(Terminal* terminal, const std::string& text, Deadline deadline)
{
    for (;;) {
        std::size_t found = terminal->output.find(text, terminal->matched);
        if (found != std::string::npos) {
            terminal->matched = found + text.size();
            return true;
        }
        if (terminal->closed || std::chrono::steady_clock::now() > deadline)
            return false;
        read_available(terminal, POLL_MILLISECONDS);
    }
}

bool wait_for_key_wait(Terminal* terminal, Deadline deadline)
{
    for (;;) {
        termios settings;
        if (tcgetattr(terminal->master, &settings) == 0 && (settings.c_lflag & ICANON) == 0)
            return true;
        if (terminal->closed || std::chrono::steady_clock::now() > deadline)
            return false;
        read_available(terminal, POLL_MILLISECONDS);
    }
}

void type_keys(Terminal* terminal, const std::string& keys)
{
    std::size_t sent = 0;
    while (sent < keys.size()) {
        ssize_t put = write(terminal->master, keys.data() + sent, keys.size() - sent);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return;
        sent += static_cast<std::size_t>(put);
    }
}

bool wait_for_exit(Terminal* terminal, Deadline deadline)
{
    while (!reap_if_ended(terminal)) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(terminal->child, SIGKILL);
            waitpid(terminal->child, nullptr, 0);
            terminal->child = -1;
            return false;
        }
        read_available(terminal, POLL_MILLISECONDS);
    }
    // Everything the process wrote before it ended is already in the terminal.
    std::size_t before;
    do {
        before = terminal->output.size();
        read_available(terminal, 0);
    } while (terminal->output.size() != before);
    return true;
}
