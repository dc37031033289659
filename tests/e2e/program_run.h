// Runs the program as a person would meet it: in a terminal, typing keys when it waits for
// them; or with its standard input from a pipe or /dev/null. Either way every byte it
// shows is kept, and a run that hangs is killed at a deadline and reported as such.
#pragma once

#include "terminal_driver.h"

#include <functional>
#include <string>
#include <vector>

// Once `after` has been shown and the program waits for a key, `keys` are typed.
struct KeyStep {
    std::string after;
    std::string keys;
};

struct ProgramRun {
    std::string output;   // standard output (and, in a terminal, standard error)
    std::string errors;   // standard error, when it is not a terminal
    bool ended = false;   // false: killed at the deadline
    bool exited = false;  // ended by returning from main or exit
    int exit_status = -1;
    std::size_t keys_typed = 0;  // how many steps were reached
};

// How long one run may take before it counts as hung.
const int RUN_DEADLINE_SECONDS = 15;

// What a person reads in the bytes a program wrote (Backend::shown). The outputs of a
// run, and the texts its steps wait for, are in these terms; empty: the bytes as written.
using ShownText = std::function<std::string(const std::string& written)>;

// Starts `command` in `terminal`, a new pseudo-terminal, working directory `directory`, and
// returns while it runs; false if it could not be started.
bool start_in_terminal(Terminal* terminal, const std::vector<std::string>& command,
                       const std::string& directory);

// In a new pseudo-terminal, working directory `directory`.
ProgramRun run_in_terminal(const std::vector<std::string>& command, const std::string& directory,
                           const std::vector<KeyStep>& steps, const ShownText& shown = {});

// With `input` as its whole standard input through a pipe, or /dev/null when `input` is
// null; its output goes to pipes. With `output_unread`, standard output is a pipe whose
// reader is gone before the program starts. A run that copies gigabytes is given longer
// than RUN_DEADLINE_SECONDS.
ProgramRun run_with_input(const std::vector<std::string>& command, const std::string& directory,
                          const std::string* input, const ShownText& shown = {},
                          bool output_unread = false, int deadline_seconds = RUN_DEADLINE_SECONDS);
