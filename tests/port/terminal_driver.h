// Drives a process on a pseudo-terminal the way a person at the keyboard would: it waits
// for text to appear, waits until the process reads keys raw, types, and keeps every byte
// the process shows. Every wait has a deadline, so a hung process fails a test instead
// of blocking it.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>

using Deadline = std::chrono::steady_clock::time_point;

// A deadline `seconds` from now.
Deadline seconds_from_now(int seconds);

struct Terminal {
    int master = -1;
    pid_t child = -1;
    std::string output;       // every byte shown so far, exactly as written
    std::size_t matched = 0;  // where the next wait_for_text starts looking
    bool closed = false;      // the process side of the terminal has gone away
    int wait_status = -1;     // valid once the process has been reaped

    Terminal() = default;
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;
    // Kills and reaps a process a failed test left running.
    ~Terminal();
};

// Runs `child_body` in a new process whose standard streams are the slave side of a new
// pseudo-terminal, with output post-processing off so that "\n" arrives as "\n". Line
// editing and echo are on, as on an ordinary terminal. The body must not return: it
// execs or calls _exit. False if the terminal could not be made.
bool start_in_terminal(Terminal* terminal, const std::function<void()>& child_body);

// Takes what the process shows within one poll of `timeout_ms`; marks the terminal closed
// when the process side is gone (the master then reads EIO).
void read_available(Terminal* terminal, int timeout_ms);

// Reads until `text` appears after the previous match. False at the deadline or when the
// process goes away first.
bool wait_for_text(Terminal* terminal, const std::string& text, Deadline deadline);

// Reads until the terminal is in non-canonical mode, which is how a process waits for a
// single key. False at the deadline or when the process goes away first.
bool wait_for_key_wait(Terminal* terminal, Deadline deadline);

// Sends `keys` as typed.
void type_keys(Terminal* terminal, const std::string& keys);

// Reads until the process ends and reaps it. At the deadline kills it and returns false.
bool wait_for_exit(Terminal* terminal, Deadline deadline);
