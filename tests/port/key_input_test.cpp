// One key press: from a terminal without echo or Enter, with the terminal put back on every
// path; from anything else, one byte, and at the end of input an answer at once.
#include "platform/posix/api.h"
#include "terminal_driver.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Puts a pipe in place of standard input for the length of one test.
struct PipedStandardInput {
    int saved = dup(STDIN_FILENO);
    int writer = -1;
    PipedStandardInput()
    {
        int ends[2];
        if (pipe(ends) == 0) {
            dup2(ends[0], STDIN_FILENO);
            close(ends[0]);
            writer = ends[1];
        }
    }
    ~PipedStandardInput()
    {
        if (writer >= 0)
            close(writer);
        dup2(saved, STDIN_FILENO);
        close(saved);
    }
    void feed(const std::string& bytes)
    {
        ASSERT_EQ(write(writer, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    void end()
    {
        close(writer);
        writer = -1;
    }
};

// Only a terminal sends keys; from a pipe an escape sequence is just bytes.
TEST(KeyFromAPipe, EachCallTakesExactlyOneByteAndAByteOf255IsNotTheEnd)
{
    PipedStandardInput input;
    input.feed(std::string(1, static_cast<char>(0xFF)) + "\x1b[A");
    EXPECT_EQ(_getch(), 255);
    EXPECT_EQ(_getch(), 27);
    char rest[4] = {};
    ASSERT_EQ(read(STDIN_FILENO, rest, sizeof rest), 2);
    EXPECT_EQ(std::string(rest), "[A");
}

TEST(KeyFromAPipe, TheEndOfInputAnswersMinusOneAtOnce)
{
    PipedStandardInput input;
    input.end();
    EXPECT_EQ(_getch(), -1);
    EXPECT_EQ(_getch(), -1);
}

// A prompt without a line break must be visible before the wait: a person would otherwise
// face a silent program.
TEST(KeyFromAPipe, OutputWaitingInTheBufferIsShownBeforeTheWait)
{
    int output[2];
    ASSERT_EQ(pipe(output), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int nothing = open("/dev/null", O_RDONLY);
        dup2(nothing, STDIN_FILENO);
        dup2(output[1], STDOUT_FILENO);
        setvbuf(stdout, nullptr, _IOFBF, 4096);
        std::printf("Press any key to exit");
        _getch();
        _exit(0);  // leaves without flushing: only the wait can have shown the prompt
    }
    close(output[1]);
    std::string shown;
    char bytes[256];
    for (ssize_t got; (got = read(output[0], bytes, sizeof bytes)) > 0;)
        shown.append(bytes, static_cast<std::size_t>(got));
    close(output[0]);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(shown, "Press any key to exit");
}

const tcflag_t LINE_MODE = ICANON | ECHO;

void ignore_signal(int) {}

// A person presses one key, with no Enter. The key is not echoed; the line mode and the
// caller's own signal handling are back as they were when the call returns, and a signal
// the caller ignores stays ignored during the wait.
TEST(KeyFromATerminal, OneKeyWithoutEnterOrEchoThenTheTerminalIsPutBack)
{
    Terminal terminal;
    ASSERT_TRUE(start_in_terminal(&terminal, [] {
        std::signal(SIGINT, ignore_signal);
        std::signal(SIGHUP, SIG_IGN);
        printf_s("ready|");
        int key = _getch();
        termios after;
        tcgetattr(STDIN_FILENO, &after);
        struct sigaction interrupt;
        sigaction(SIGINT, nullptr, &interrupt);
        printf_s("key=%d|line mode=%d|own handler=%d|", key,
                 (after.c_lflag & LINE_MODE) == LINE_MODE, interrupt.sa_handler == ignore_signal);
        char line[8];
        _exit(read(STDIN_FILENO, line, sizeof line) > 0 ? 0 : 1);
    }));
    Deadline deadline = seconds_from_now(10);
    ASSERT_TRUE(wait_for_text(&terminal, "ready|", deadline)) << terminal.output;
    ASSERT_TRUE(wait_for_key_wait(&terminal, deadline)) << terminal.output;
    termios waiting;
    ASSERT_EQ(tcgetattr(terminal.master, &waiting), 0);
    EXPECT_EQ(waiting.c_lflag & ECHO, 0u);
    EXPECT_EQ(waiting.c_cc[VMIN], 1);

    kill(terminal.child, SIGHUP);
    type_keys(&terminal, "x");
    ASSERT_TRUE(wait_for_text(&terminal, "own handler=1|", deadline)) << terminal.output;
    EXPECT_EQ(terminal.output, "ready|key=120|line mode=1|own handler=1|");
    termios after;
    ASSERT_EQ(tcgetattr(terminal.master, &after), 0);
    EXPECT_EQ(after.c_lflag & LINE_MODE, LINE_MODE);

    type_keys(&terminal, "\n");
    ASSERT_TRUE(wait_for_exit(&terminal, deadline));
    EXPECT_TRUE(WIFEXITED(terminal.wait_status) && WEXITSTATUS(terminal.wait_status) == 0);
}

// Escape alone is a key too: with nothing after it the wait ends instead of waiting for a
// sequence that never comes, and a key typed later is a key of its own.
TEST(KeyFromATerminal, ALoneEscapeAnswersAtOnce)
{
    Terminal terminal;
    ASSERT_TRUE(start_in_terminal(&terminal, [] {
        printf_s("ready|");
        printf_s("key=%d|", _getch());
        printf_s("next=%d|", _getch());
        _exit(0);
    }));
    Deadline deadline = seconds_from_now(10);
    ASSERT_TRUE(wait_for_text(&terminal, "ready|", deadline)) << terminal.output;
    ASSERT_TRUE(wait_for_key_wait(&terminal, deadline)) << terminal.output;
    type_keys(&terminal, "\x1b");
    ASSERT_TRUE(wait_for_text(&terminal, "key=27|", seconds_from_now(2))) << terminal.output;
    ASSERT_TRUE(wait_for_key_wait(&terminal, deadline)) << terminal.output;
    type_keys(&terminal, "x");
    ASSERT_TRUE(wait_for_exit(&terminal, deadline));
    EXPECT_EQ(terminal.output, "ready|key=27|next=120|");
}

// Every byte of a key goes with it, or the rest reaches the next reader of the terminal,
// the shell, as typed text. The key typed right after it is still the next one.
struct TypedKey {
    const char* name;
    const char* bytes;
    int first_code;
};

const TypedKey TYPED_KEYS[] = {
    {"Letter", "x", 'x'},
    {"ArrowUp", "\x1b[A", 27},
    {"F1", "\x1bOP", 27},
    {"F5", "\x1b[15~", 27},
    {"CtrlArrowRight", "\x1b[1;5C", 27},
    {"F1OnTheLinuxConsole", "\x1b[[A", 27},
    {"AltX", "\x1bx", 27},
    {"TwoByteCharacter", "\xc3\xa9", 0xC3},
    {"FourByteCharacter", "\xf0\x9f\x99\x82", 0xF0},
    {"CharacterCutShort", "\xc3", 0xC3},
};

void PrintTo(const TypedKey& key, std::ostream* out)
{
    *out << key.name;
}

class WholeKeyFromATerminal : public ::testing::TestWithParam<TypedKey> {};

TEST_P(WholeKeyFromATerminal, IsTakenAndTheNextReadSeesTheKeyTypedAfterIt)
{
    Terminal terminal;
    ASSERT_TRUE(start_in_terminal(&terminal, [] {
        printf_s("ready|");
        int key = _getch();
        int next = _getch();
        printf_s("key=%d|next=%d|", key, next);
        _exit(0);
    }));
    Deadline deadline = seconds_from_now(10);
    ASSERT_TRUE(wait_for_text(&terminal, "ready|", deadline)) << terminal.output;
    ASSERT_TRUE(wait_for_key_wait(&terminal, deadline)) << terminal.output;
    type_keys(&terminal, std::string(GetParam().bytes) + "z");
    ASSERT_TRUE(wait_for_exit(&terminal, deadline));
    EXPECT_EQ(terminal.output,
              "ready|key=" + std::to_string(GetParam().first_code) + "|next=122|");
}

INSTANTIATE_TEST_SUITE_P(Keys, WholeKeyFromATerminal, ::testing::ValuesIn(TYPED_KEYS),
                         [](const ::testing::TestParamInfo<TypedKey>& typed) {
                             return std::string(typed.param.name);
                         });

// Stopped during a wait, the program hands the shell its terminal as it was (Ctrl+Z; a
// SIGSTOP cannot be caught), the shell puts its own settings on it, and after fg the wait
// goes on raw and silent again.
struct Stop {
    const char* name;
    bool typed;                 // Ctrl+Z on the keyboard rather than SIGSTOP
    const char* shown_at_stop;  // what the shell finds on the terminal
};

const Stop STOPS[] = {
    {"CtrlZ", true, "stopped|line mode=1|"},
    {"SIGSTOP", false, "stopped|line mode=0|"},
};

void PrintTo(const Stop& stop, std::ostream* out)
{
    *out << stop.name;
}

class KeyWaitStoppedAndContinued : public ::testing::TestWithParam<Stop> {};

// A job-control shell in miniature. The wait runs as a foreground job in a process group
// of its own: the system discards Ctrl+Z in a group that no shell controls, such as the
// one a pseudo-terminal's first process leads.
[[noreturn]] void run_key_wait_as_a_job()
{
    termios shell_settings;
    tcgetattr(STDIN_FILENO, &shell_settings);
    std::signal(SIGTTOU, SIG_IGN);
    pid_t job = fork();
    if (job == 0) {
        setpgid(0, 0);
        tcsetpgrp(STDIN_FILENO, getpid());
        std::signal(SIGTTOU, SIG_DFL);
        std::signal(SIGTSTP, SIG_DFL);
        printf_s("ready|");
        printf_s("key=%d|", _getch());
        _exit(0);
    }
    setpgid(job, job);
    tcsetpgrp(STDIN_FILENO, job);
    int status = 0;
    waitpid(job, &status, WUNTRACED);
    if (!WIFSTOPPED(status))
        _exit(2);
    tcsetpgrp(STDIN_FILENO, getpgrp());
    termios at_stop;
    tcgetattr(STDIN_FILENO, &at_stop);
    tcsetattr(STDIN_FILENO, TCSANOW, &shell_settings);
    printf_s("stopped|line mode=%d|", (at_stop.c_lflag & LINE_MODE) == LINE_MODE);
    tcsetpgrp(STDIN_FILENO, job);
    kill(-job, SIGCONT);
    waitpid(job, &status, 0);
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 3);
}

TEST_P(KeyWaitStoppedAndContinued, IsRawAndSilentAgain)
{
    Terminal terminal;
    ASSERT_TRUE(start_in_terminal(&terminal, run_key_wait_as_a_job));
    Deadline deadline = seconds_from_now(10);
    ASSERT_TRUE(wait_for_text(&terminal, "ready|", deadline)) << terminal.output;
    ASSERT_TRUE(wait_for_key_wait(&terminal, deadline)) << terminal.output;
    if (GetParam().typed)
        type_keys(&terminal, "\x1a");
    else
        kill(-tcgetpgrp(terminal.master), SIGSTOP);
    ASSERT_TRUE(wait_for_text(&terminal, GetParam().shown_at_stop, deadline)) << terminal.output;

    ASSERT_TRUE(wait_for_key_wait(&terminal, deadline)) << terminal.output;
    termios waiting;
    ASSERT_EQ(tcgetattr(terminal.master, &waiting), 0);
    EXPECT_EQ(waiting.c_lflag & ECHO, 0u);
    type_keys(&terminal, "x");
    ASSERT_TRUE(wait_for_exit(&terminal, deadline));
    EXPECT_TRUE(WIFEXITED(terminal.wait_status) && WEXITSTATUS(terminal.wait_status) == 0);
    EXPECT_EQ(terminal.output, std::string("ready|") + GetParam().shown_at_stop + "key=120|");
}

INSTANTIATE_TEST_SUITE_P(Stops, KeyWaitStoppedAndContinued, ::testing::ValuesIn(STOPS),
                         [](const ::testing::TestParamInfo<Stop>& stop) {
                             return std::string(stop.param.name);
                         });

// Ctrl+C, a kill or any other signal that ends the program while it waits must not leave
// the user's shell without echo.
class KeyWaitEndedBySignal : public ::testing::TestWithParam<int> {};

TEST_P(KeyWaitEndedBySignal, PutsTheTerminalBackAndStillEndsTheProcess)
{
    Terminal terminal;
    ASSERT_TRUE(start_in_terminal(&terminal, [] {
        rlimit no_core = {0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
        _getch();
        printf_s("returned");
        _exit(0);
    }));
    // Holding the slave open keeps its settings readable after the process is gone.
    int slave = open(ptsname(terminal.master), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    Deadline deadline = seconds_from_now(10);
    ASSERT_TRUE(wait_for_key_wait(&terminal, deadline));

    kill(terminal.child, GetParam());
    ASSERT_TRUE(wait_for_exit(&terminal, deadline));
    EXPECT_TRUE(WIFSIGNALED(terminal.wait_status));
    EXPECT_EQ(WTERMSIG(terminal.wait_status), GetParam());
    termios after;
    ASSERT_EQ(tcgetattr(slave, &after), 0);
    EXPECT_EQ(after.c_lflag & LINE_MODE, LINE_MODE);
    EXPECT_EQ(terminal.output.find("returned"), std::string::npos);
    close(slave);
}

INSTANTIATE_TEST_SUITE_P(TerminatingSignals, KeyWaitEndedBySignal,
                         ::testing::Values(SIGTERM, SIGINT, SIGUSR1, SIGALRM, SIGXCPU),
                         [](const ::testing::TestParamInfo<int>& signal_info) {
                             return std::string("SIG") + sigabbrev_np(signal_info.param);
                         });

}  // namespace
