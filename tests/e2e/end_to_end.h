// The ground every end-to-end case stands on: a working directory of its own, images
// attached as drives through the selected backend, runs of the program, and the exact
// texts it shows.
#pragma once

#include "backend.h"
#include "program_run.h"
#include "scratch_dir.h"
#include "screen_texts.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// The chunk the program copies at a time; lengths around it are where copies go wrong.
const unsigned CHUNK = 1024000;

const std::string COMPLETED = COMPLETION_TEXT;

// Bytes that differ from every other seed's, so a copy from the wrong place shows.
std::string random_bytes(std::size_t size, unsigned seed);

// "<verb> <total> bytes\r" for each total, as the progress line shows them.
std::string progress(const char* verb, const std::vector<unsigned long long>& totals);

// The overwrite question for `file_name`.
std::string overwrite_question(const std::string& file_name);

// Compares bytes without printing megabytes: reports the sizes and the first difference.
::testing::AssertionResult same_bytes(const std::string& actual, const std::string& expected);

// Success when the run ended by itself with status 0 after reaching all `steps` keys.
::testing::AssertionResult ended_with_status_0(const ProgramRun& run, std::size_t steps = 0);

class EndToEnd : public ::testing::Test {
protected:
    Backend* backend = selected_backend();
    ScratchDir work;

    void SetUp() override;
    void TearDown() override;

    // A file of the working directory.
    std::string at(const std::string& name) const { return work / name; }

    // Writes `bytes` to an image file and attaches it as drive `number`.
    void attach_image(int number, const std::string& bytes);
    std::string image(int number) const { return at("drive" + std::to_string(number) + ".img"); }

    // "Error <text>\n" and the prompt, as every reported failure ends.
    std::string error_report(Failure failure) const;

    // The run in a terminal; a key is typed at each step.
    ProgramRun run(const std::vector<std::string>& arguments, const std::vector<KeyStep>& steps);
    // The run in a terminal that ends with one key press after the closing prompt.
    ProgramRun run_to_end(const std::vector<std::string>& arguments);
    // The run with this standard input through a pipe.
    ProgramRun run_piped(const std::vector<std::string>& arguments, const std::string& input);
    // The run with /dev/null as standard input.
    ProgramRun run_without_input(const std::vector<std::string>& arguments,
                                 int deadline_seconds = RUN_DEADLINE_SECONDS);
    // The run with /dev/null as standard input, and then standard stream `descriptor`
    // (0 or 1) closed.
    ProgramRun run_with_closed(int descriptor, const std::vector<std::string>& arguments);

private:
    int lock_ = -1;

    // The backend's reading of what the program wrote.
    ShownText shown() const;
};

// Skips a case that needs what the backend cannot show.
#define REQUIRE_FEATURE(feature)                                 \
    do {                                                         \
        if (!backend->supports(feature))                         \
            GTEST_SKIP() << "the backend cannot show " #feature; \
    } while (0)
