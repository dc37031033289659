// The question Save asks before it replaces an existing file.
#include "logic_support.h"

using ::testing::ElementsAre;

namespace {

std::string question(const std::string& file_name)
{
    return "Press '1' if you sure, you want to replace existing file\n" + file_name +
           "\nor press any key to exit\n";
}

class OverwriteQuestion : public FakePlatformTest {
protected:
    void SetUp() override
    {
        FakePlatformTest::SetUp();
        drive = pattern_bytes(4096, 31);
        existing = pattern_bytes(3000, 32);
        fake_add_object(DRIVE0, drive);
    }

    // An existing file is kept exactly, and the run stopped at the question.
    void expect_declined(const std::string& file_name)
    {
        EXPECT_EQ(question(file_name), fake_output());
        EXPECT_THAT(trace({"CreateFileA", "CloseHandle", "ReadFile", "WriteFile", "malloc",
                           "printf", "_getch"}),
                    ElementsAre("CreateFileA " + DRIVE0, "CreateFileA " + file_name,
                                "printf " + question(file_name), "_getch"));
        EXPECT_EQ("_getch", fake_ops().back());
        EXPECT_EQ(existing, bytes_of(file_name));
        EXPECT_EQ(drive, bytes_of(DRIVE0));
    }

    // The file now holds the drive's first 512 bytes, and nothing was asked or reported.
    void expect_replaced_unasked(const std::string& file_name)
    {
        EXPECT_EQ(0u, count_of("printf"));
        EXPECT_EQ(0u, count_of("GetLastError"));
        EXPECT_EQ("Read 512 bytes\r" + COMPLETION, fake_output());
        EXPECT_EQ(slice(drive, 0, 512), bytes_of(file_name));
    }

    Bytes drive;
    Bytes existing;
};

TEST_F(OverwriteQuestion, NoQuestionWhenTheFileDoesNotExist)
{
    run({"-S", "0", "new.bin"});
    expect_replaced_unasked("new.bin");
}

TEST_F(OverwriteQuestion, KeyOneClosesTheProbeAndReplacesTheFile)
{
    fake_add_object("old.bin", existing);
    fake_press("1");
    run({"-S", "0", "old.bin"});
    EXPECT_EQ(question("old.bin") + "Read 512 bytes\r" + COMPLETION, fake_output());
    EXPECT_THAT(trace({"CreateFileA", "CloseHandle", "printf", "_getch"}),
                ElementsAre("CreateFileA " + DRIVE0, "CreateFileA old.bin",
                            "printf " + question("old.bin"), "_getch", "CloseHandle old.bin",
                            "CreateFileA old.bin", "CloseHandle " + DRIVE0,
                            "CloseHandle old.bin", "_getch"));
    std::vector<FakeCall> opens = fake_calls_of("CreateFileA");
    EXPECT_EQ(PROBE, opens[1].args);
    EXPECT_EQ(opens[1].handle, fake_calls_of("CloseHandle")[0].handle);
    EXPECT_EQ(slice(drive, 0, 512), bytes_of("old.bin"));
}

TEST_F(OverwriteQuestion, AnyOtherKeyKeepsTheFileAndEndsAtOnce)
{
    // Enter in both forms, a letter, the arrow key's escape sequence, no input at all.
    for (const char* keys : {"2", "\r", "\n", "a", "0", " ", "\x1b[A", ""}) {
        SCOPED_TRACE(testing::PrintToString(keys));
        fake_reset();
        fake_add_object(DRIVE0, drive);
        fake_add_object("old.bin", existing);
        fake_press(keys);
        run({"-S", "0", "old.bin"});
        expect_declined("old.bin");
    }
}

TEST_F(OverwriteQuestion, TheQuestionShowsTheFileNameAsTyped)
{
    const std::string name = "..\\images\\100% sure %s.bin";
    fake_add_object(name, existing);
    fake_press("n");
    run({"-S", "0", name, "1", "1000"});
    expect_declined(name);
}

// Only a probe that fails outright finds nothing to ask about; the create then decides.
TEST_F(OverwriteQuestion, AFailedProbeIsNeitherAskedAboutNorReported)
{
    fake_add_object("old.bin", existing);
    fake_fail("CreateFileA", 2, ERROR_ACCESS_DENIED);
    run({"-S", "0", "old.bin"});
    expect_replaced_unasked("old.bin");
}

TEST_F(OverwriteQuestion, LoadNeverAsks)
{
    fake_add_object("old.bin", existing);
    fake_press("2");
    run({"-L", "0", "old.bin"});
    EXPECT_EQ(0u, count_of("printf"));
    EXPECT_EQ("Write 3000 bytes\r" + COMPLETION, fake_output());
    EXPECT_EQ(existing, slice(bytes_of(DRIVE0), 0, 3000));
}

}  // namespace
