// One key press: from a terminal without echo or Enter, with the terminal put back on every
// path; from anything else, one byte, and at the end of input an answer at once.
#include "platform/posix_api.h"
#include "terminal_driver.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
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

TEST(KeyFromAPipe, EachCallTakesExactlyOneByteAndAByteOf255IsNotTheEnd)
{
    PipedStandardInput input;
    input.feed(std::string(1, static_cast<char>(0xFF)) + "ab");
    EXPECT_EQ(_getch(), 255);
    EXPECT_EQ(_getch(), 'a');
    char rest[4] = {};
    ASSERT_EQ(read(STDIN_FILENO, rest, sizeof rest), 1);
    EXPECT_EQ(rest[0], 'b');
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
// caller's own signal handling are back as they were when the call returns.
TEST(KeyFromATerminal, OneKeyWithoutEnterOrEchoThenTheTerminalIsPutBack)
{
    Terminal terminal;
    ASSERT_TRUE(start_in_terminal(&terminal, [] {
        std::signal(SIGINT, ignore_signal);
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

// Ctrl+C or a kill while the program waits must not leave the user's shell without echo.
class KeyWaitEndedBySignal : public ::testing::TestWithParam<int> {};

TEST_P(KeyWaitEndedBySignal, PutsTheTerminalBackAndStillEndsTheProcess)
{
    Terminal terminal;
    ASSERT_TRUE(start_in_terminal(&terminal, [] {
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
                         ::testing::Values(SIGTERM, SIGINT),
                         [](const ::testing::TestParamInfo<int>& signal_info) {
                             return std::string(signal_info.param == SIGTERM ? "SIGTERM"
                                                                             : "SIGINT");
                         });

}  // namespace
