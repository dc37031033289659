#include "program_run.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

[[noreturn]] void exec_in(const std::vector<std::string>& command, const std::string& directory)
{
    // Under the leak checker, the memory the program holds to its end on purpose is no
    // finding; anything else it leaks still is.
    setenv("LSAN_OPTIONS", "suppressions=" VORLENT_E2E_LEAK_SUPPRESSIONS ":print_suppressions=0",
           1);
    // The port linked into these tests ignores SIGPIPE, and an ignored signal stays ignored
    // in what a process runs: the program starts as a shell would start it.
    std::signal(SIGPIPE, SIG_DFL);
    std::vector<char*> argv;
    for (const std::string& argument : command)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    if (chdir(directory.c_str()) == 0)
        execvp(argv[0], argv.data());
    _exit(127);
}

void record_status(ProgramRun* run, int status)
{
    run->exited = WIFEXITED(status);
    run->exit_status = run->exited ? WEXITSTATUS(status) : -1;
}

// Collects both output pipes until the program closes them, or until the deadline.
bool collect(int output, int errors, ProgramRun* run, Deadline deadline)
{
    pollfd pipes[2] = {{output, POLLIN, 0}, {errors, POLLIN, 0}};
    std::string* into[2] = {&run->output, &run->errors};
    int open_pipes = (output >= 0 ? 1 : 0) + (errors >= 0 ? 1 : 0);
    while (open_pipes > 0) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        if (poll(pipes, 2, 10) <= 0)
            continue;
        for (int i = 0; i < 2; ++i) {
            if (pipes[i].fd < 0 || pipes[i].revents == 0)
                continue;
            char bytes[4096];
            ssize_t got = read(pipes[i].fd, bytes, sizeof bytes);
            if (got > 0) {
                into[i]->append(bytes, static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                pipes[i].fd = -1;
                --open_pipes;
            }
        }
    }
    return true;
}

std::string as_shown(const ShownText& shown, const std::string& written)
{
    return shown ? shown(written) : written;
}

// Reads until `text` is shown after `*from`, then moves `*from` past it. False at the
// deadline or when the program goes away first.
bool wait_for_shown_text(Terminal* terminal, const ShownText& shown, const std::string& text,
                         std::size_t* from, Deadline deadline)
{
    for (;;) {
        std::size_t found = as_shown(shown, terminal->output).find(text, *from);
        if (found != std::string::npos) {
            *from = found + text.size();
            return true;
        }
        if (terminal->closed || std::chrono::steady_clock::now() > deadline)
            return false;
        read_available(terminal, 5);
    }
}

}  // namespace

bool start_in_terminal(Terminal* terminal, const std::vector<std::string>& command,
                       const std::string& directory)
{
    return start_in_terminal(terminal, [&] { exec_in(command, directory); });
}

ProgramRun run_in_terminal(const std::vector<std::string>& command, const std::string& directory,
                           const std::vector<KeyStep>& steps, const ShownText& shown)
{
    ProgramRun run;
    Terminal terminal;
    if (!start_in_terminal(&terminal, command, directory))
        return run;
    Deadline deadline = seconds_from_now(RUN_DEADLINE_SECONDS);
    std::size_t seen = 0;
    for (const KeyStep& step : steps) {
        if (!wait_for_shown_text(&terminal, shown, step.after, &seen, deadline) ||
            !wait_for_key_wait(&terminal, deadline))
            break;
        type_keys(&terminal, step.keys);
        ++run.keys_typed;
    }
    run.ended = wait_for_exit(&terminal, deadline);
    run.output = as_shown(shown, terminal.output);
    if (run.ended)
        record_status(&run, terminal.wait_status);
    return run;
}

ProgramRun run_with_input(const std::vector<std::string>& command, const std::string& directory,
                          const std::string* input, const ShownText& shown, bool output_unread,
                          int deadline_seconds)
{
    ProgramRun run;
    int in[2], out[2], err[2];
    if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0)
        return run;
    if (output_unread) {
        close(out[0]);
        out[0] = -1;
    }
    pid_t child = fork();
    if (child == 0) {
        int source = input != nullptr ? in[0] : open("/dev/null", O_RDONLY);
        dup2(source, STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        for (int descriptor : {in[0], in[1], out[0], out[1], err[0], err[1]})
            close(descriptor);
        exec_in(command, directory);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    // The input is small: it fits the pipe, so writing it all first cannot block.
    if (input != nullptr && !input->empty()) {
        ssize_t written = write(in[1], input->data(), input->size());
        (void)written;  // a program that ends without reading its input is no failure here
    }
    close(in[1]);
    Deadline deadline = seconds_from_now(deadline_seconds);
    run.ended = child > 0 && collect(out[0], err[0], &run, deadline);
    close(out[0]);
    close(err[0]);
    if (child > 0 && !run.ended)
        kill(child, SIGKILL);
    int status = 0;
    if (child > 0 && waitpid(child, &status, 0) == child && run.ended)
        record_status(&run, status);
    run.output = as_shown(shown, run.output);
    run.errors = as_shown(shown, run.errors);
    return run;
}
