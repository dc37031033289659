// Save asks before it replaces a file; only the key 1 lets it, and no answer at all must
// never replace anything nor leave the program hanging.
#include "end_to_end.h"

namespace {

const std::string OLD_CONTENTS = "the file the user cares about";

class Overwrite : public EndToEnd {
protected:
    std::string drive = random_bytes(4096, 30);
    void SetUp() override
    {
        EndToEnd::SetUp();
        attach_image(0, drive);
        write_whole_file(at("out.bin"), OLD_CONTENTS);
    }
};

TEST_F(Overwrite, TheKey1ReplacesTheFile)
{
    ProgramRun saved =
        run({"-S", "0", "out.bin"}, {{overwrite_question("out.bin"), "1"}, {PRESS_ANY_KEY, "k"}});
    EXPECT_TRUE(ended_with_status_0(saved, 2));
    EXPECT_EQ(saved.output, overwrite_question("out.bin") + progress("Read", {512}) + COMPLETED);
    EXPECT_TRUE(same_bytes(read_whole_file(at("out.bin")), drive.substr(0, 512)));
}

TEST_F(Overwrite, TheQuestionShowsTheNameExactlyAsTyped)
{
    write_whole_file(at("old%s%n%x.bin"), OLD_CONTENTS);
    ProgramRun saved = run({"-S", "0", "./old%s%n%x.bin"}, {{"or press any key to exit\n", "n"}});
    EXPECT_TRUE(ended_with_status_0(saved, 1));
    EXPECT_EQ(saved.output, overwrite_question("./old%s%n%x.bin"));
}

// F1 as an xterm sends it.
const std::string F1 = "\x1bOP";

// After the question nothing more is shown and there is no further key wait; the second
// code of a two-code key is never read.
class DeclinedBy : public Overwrite, public ::testing::WithParamInterface<std::string> {};

TEST_P(DeclinedBy, AnyOtherKeyLeavesTheFileAndEndsAtOnce)
{
    if (GetParam() == F1)
        REQUIRE_FEATURE(Feature::FunctionKeys);
    ProgramRun declined =
        run({"-S", "0", "out.bin"}, {{overwrite_question("out.bin"), GetParam()}});
    EXPECT_TRUE(ended_with_status_0(declined, 1));
    EXPECT_EQ(declined.output, overwrite_question("out.bin"));
    EXPECT_EQ(read_whole_file(at("out.bin")), OLD_CONTENTS);
}

std::string key_name(const ::testing::TestParamInfo<std::string>& typed)
{
    const char* names[] = {"Two", "Enter", "Letter", "ArrowUp", "F1", "TwoThenOne"};
    return names[typed.index];
}

INSTANTIATE_TEST_SUITE_P(Keys, DeclinedBy,
                         ::testing::Values("2", "\r", "q", "\x1b[A", F1, "21"), key_name);

TEST_F(Overwrite, AnAnswerFromAPipeIsItsFirstByte)
{
    REQUIRE_FEATURE(Feature::KeysFromAPipe);
    ProgramRun declined = run_piped({"-S", "0", "out.bin"}, "21");
    EXPECT_TRUE(ended_with_status_0(declined));
    EXPECT_EQ(declined.output, overwrite_question("out.bin"));
    EXPECT_EQ(read_whole_file(at("out.bin")), OLD_CONTENTS);

    // The closing key wait then meets the end of the input and ends at once.
    ProgramRun replaced = run_piped({"-S", "0", "out.bin"}, "1");
    EXPECT_TRUE(ended_with_status_0(replaced));
    EXPECT_EQ(replaced.output, overwrite_question("out.bin") + progress("Read", {512}) + COMPLETED);
    EXPECT_TRUE(same_bytes(read_whole_file(at("out.bin")), drive.substr(0, 512)));
}

TEST_F(Overwrite, WithNoInputAtAllTheFileIsKeptAndNothingHangs)
{
    REQUIRE_FEATURE(Feature::KeyWaitsEndWithoutInput);
    ProgramRun declined = run_without_input({"-S", "0", "out.bin"});
    EXPECT_TRUE(ended_with_status_0(declined));
    EXPECT_EQ(declined.output, overwrite_question("out.bin"));
    EXPECT_EQ(read_whole_file(at("out.bin")), OLD_CONTENTS);

    ProgramRun saved = run_without_input({"-S", "0", "new.bin"});
    EXPECT_TRUE(ended_with_status_0(saved));
    EXPECT_EQ(saved.output, progress("Read", {512}) + COMPLETED);
    EXPECT_TRUE(same_bytes(read_whole_file(at("new.bin")), drive.substr(0, 512)));
}

}  // namespace
