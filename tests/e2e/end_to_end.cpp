#include "end_to_end.h"

#include <fcntl.h>
#include <filesystem>
#include <random>
#include <sys/file.h>
#include <unistd.h>

std::string random_bytes(std::size_t size, unsigned seed)
{
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes)
        byte = static_cast<char>(generator() & 0xFF);
    return bytes;
}

std::string progress(const char* verb, const std::vector<unsigned long long>& totals)
{
    std::string lines;
    for (unsigned long long total : totals)
        lines += std::string(verb) + " " + std::to_string(total) + " bytes\r";
    return lines;
}

std::string overwrite_question(const std::string& file_name)
{
    return "Press '1' if you sure, you want to replace existing file\n" + file_name +
           "\nor press any key to exit\n";
}

::testing::AssertionResult same_bytes(const std::string& actual, const std::string& expected)
{
    if (actual == expected)
        return ::testing::AssertionSuccess();
    std::size_t at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at])
        ++at;
    return ::testing::AssertionFailure() << actual.size() << " bytes where " << expected.size()
                                         << " were expected; first difference at byte " << at;
}

::testing::AssertionResult ended_with_status_0(const ProgramRun& run, std::size_t steps)
{
    if (!run.ended)
        return ::testing::AssertionFailure() << "still running at the deadline; shown so far:\n"
                                             << run.output;
    if (run.keys_typed != steps)
        return ::testing::AssertionFailure()
               << "waited for a key " << run.keys_typed << " of " << steps << " times; shown:\n"
               << run.output;
    if (!run.exited || run.exit_status != 0)
        return ::testing::AssertionFailure()
               << "ended with status " << run.exit_status
               << (run.exited ? "" : " (killed by a signal)") << "; errors: " << run.errors;
    if (!run.errors.empty())
        return ::testing::AssertionFailure() << "wrote to standard error: " << run.errors;
    return ::testing::AssertionSuccess();
}

void EndToEnd::SetUp()
{
    ASSERT_NE(backend, nullptr) << "VORLENT_E2E_BACKEND names no backend";
    ASSERT_FALSE(work.path.empty());
    std::filesystem::create_directories(std::filesystem::path(backend->lock_file()).parent_path());
    lock_ = open(backend->lock_file().c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
    ASSERT_GE(lock_, 0) << backend->lock_file();
    ASSERT_EQ(flock(lock_, LOCK_EX), 0);
    backend->detach_drives();
}

void EndToEnd::TearDown()
{
    if (lock_ < 0)
        return;
    backend->detach_drives();
    close(lock_);
}

void EndToEnd::attach_image(int number, const std::string& bytes)
{
    write_whole_file(image(number), bytes);
    ASSERT_TRUE(backend->attach_drive(number, image(number))) << "drive " << number;
}

std::string EndToEnd::error_report(Failure failure) const
{
    return "Error " + backend->error_text(failure) + "\n" + PRESS_ANY_KEY;
}

ShownText EndToEnd::shown() const
{
    Backend* on = backend;
    return [on](const std::string& written) { return on->shown(written); };
}

ProgramRun EndToEnd::run(const std::vector<std::string>& arguments,
                         const std::vector<KeyStep>& steps)
{
    return backend->settled(run_in_terminal(backend->command(arguments), work.path, steps, shown()));
}

ProgramRun EndToEnd::run_to_end(const std::vector<std::string>& arguments)
{
    return run(arguments, {{PRESS_ANY_KEY, "k"}});
}

ProgramRun EndToEnd::run_piped(const std::vector<std::string>& arguments, const std::string& input)
{
    return backend->settled(run_with_input(backend->command(arguments), work.path, &input, shown()));
}

ProgramRun EndToEnd::run_without_input(const std::vector<std::string>& arguments,
                                       int deadline_seconds)
{
    return backend->settled(run_with_input(backend->command(arguments), work.path, nullptr,
                                           shown(), false, deadline_seconds));
}

ProgramRun EndToEnd::run_with_closed(int descriptor, const std::vector<std::string>& arguments)
{
    std::vector<std::string> command = {"/bin/sh", "-c",
                                        "exec \"$@\" " + std::to_string(descriptor) + ">&-", "sh"};
    std::vector<std::string> program = backend->command(arguments);
    command.insert(command.end(), program.begin(), program.end());
    return backend->settled(run_with_input(command, work.path, nullptr, shown()));
}
