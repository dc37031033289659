// Which code page the console shows while the program runs, for the pairs of code pages
// that Windows versions and users' own `chcp` give.
#include "platform/windows/console_code_page.h"

#include <gtest/gtest.h>

namespace {

TEST(ConsoleCodePage, TheConsoleShowsTheProcesssCodePageWheneverTheTwoDiffer)
{
    const struct {
        const char* where;
        unsigned process, console, shown;
    } cases[] = {
        {"Windows 10 1903 on, UTF-8 from the manifest", 65001, 850, 65001},
        {"before 1903, or Windows Server 2019", 1252, 850, 1252},
        {"a console set to UTF-8 with chcp", 1252, 65001, 1252},
        {"the console already shows UTF-8", 65001, 65001, 0},
        {"a system whose two pages agree", 932, 932, 0},
        {"no console", 1252, 0, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(console_code_page_to_show(c.process, c.console), c.shown) << c.where;
}

}  // namespace
