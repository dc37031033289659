// How a failure is reported, and that the run ends there.
#include "logic_support.h"

using ::testing::ElementsAre;

namespace {

const DWORD DEVICE_ERROR = 1117;

class ErrorReport : public FakePlatformTest {};

TEST_F(ErrorReport, ShowsTheSystemTextABlankLineAndThePrompt)
{
    run({"-S", "5", "out.bin"});
    EXPECT_EQ("Error System text 2\n\nPress any key to exit", fake_output());
    EXPECT_THAT(ops_after("CreateFileA", 1),
                ElementsAre("GetLastError", "FormatMessageA", "printf_s", "printf_s", "_getch"));
    // Flags 0x1300, no source, the code, language 0x400, no minimum size, no arguments.
    EXPECT_EQ((std::vector<long long>{0x1300, 2, 0x400, 0, 0, 0}),
              fake_calls_of("FormatMessageA")[0].args);
}

TEST_F(ErrorReport, ACodeWithoutTextIsShownAsItsNumber)
{
    fake_without_text(223);
    fake_fail("CreateFileA", 1, 223);
    run({"-S", "0", "out.bin"});
    EXPECT_EQ("Error 223\n\nPress any key to exit", fake_output());
    EXPECT_EQ("_getch", fake_ops().back());
    EXPECT_EQ(1u, count_of("_getch"));
}

TEST_F(ErrorReport, NothingButTheKeyWaitFollowsAFailedCall)
{
    struct Case {
        const char* mode;
        const char* sector;
        const char* op;
        int nth;
    };
    const Case cases[] = {
        {"-S", "0", "CreateFileA", 1},      {"-S", "1", "SetFilePointerEx", 1},
        {"-S", "0", "CreateFileA", 3},      {"-S", "0", "ReadFile", 1},
        {"-S", "0", "WriteFile", 1},        {"-S", "0", "ReadFile", 2},
        {"-S", "0", "WriteFile", 3},        {"-L", "0", "CreateFileA", 1},
        {"-L", "0", "GetFileSize", 1},      {"-L", "0", "CreateFileA", 2},
        {"-L", "1", "SetFilePointerEx", 1}, {"-L", "0", "ReadFile", 2},
        {"-L", "0", "WriteFile", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.mode) + " sector " + c.sector + ", " + c.op + " #" +
                     std::to_string(c.nth));
        fake_reset();
        fake_add_object(DRIVE0, pattern_bytes(3 * CHUNK_SIZE, 41));
        fake_add_object("image.bin", pattern_bytes(2 * CHUNK_SIZE + 100, 42));
        fake_fail(c.op, c.nth, DEVICE_ERROR);
        // Save copies three chunks and Load copies the whole image, so every call is reached.
        if (std::string(c.mode) == "-S")
            run({"-S", "0", "out.bin", c.sector, std::to_string(3 * CHUNK_SIZE)});
        else
            run({"-L", "0", "image.bin", c.sector});
        std::vector<std::string> after = ops_after(c.op, c.nth);
        ASSERT_FALSE(after.empty());
        EXPECT_EQ("GetLastError", after[0]);
        expect_ends_with_report(DEVICE_ERROR);
        EXPECT_EQ(0u, count_of("CloseHandle"));
    }
}

}  // namespace
