// How a failure is reported, and that the run ends there.
#include "logic_support.h"

using ::testing::ElementsAre;

namespace {

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

}  // namespace
