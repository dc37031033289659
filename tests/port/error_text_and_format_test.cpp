// The last error, its text, and the bounded formatting the names are built with.
#include "platform/posix/api.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

namespace {

const DWORD ERROR_TEXT_FLAGS =
    FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM;

// Asks for a code's text the one way the program does; "<none>" when there is none.
std::string text_for(DWORD code, DWORD* length = nullptr)
{
    char* text = nullptr;
    DWORD got =
        FormatMessageA(ERROR_TEXT_FLAGS, nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                       reinterpret_cast<LPSTR>(&text), 0, nullptr);
    if (length != nullptr)
        *length = got;
    if (got == 0)
        return text == nullptr ? "<none>" : "<none, but a text was handed out>";
    std::string copy = text;
    std::free(text);
    return copy;
}

int format(char* buffer, std::size_t size, std::size_t count, const char* template_text, ...)
    __attribute__((format(printf, 4, 5)));

int format(char* buffer, std::size_t size, std::size_t count, const char* template_text, ...)
{
    va_list arguments;
    va_start(arguments, template_text);
    int length = _vsnprintf_s(buffer, size, count, template_text, arguments);
    va_end(arguments);
    return length;
}

TEST(ErrorText, IsTheSystemTextOfTheErrnoFollowedByALineBreak)
{
    const int codes[] = {ENOENT, EACCES, EISDIR, ENOSPC, ENAMETOOLONG, EFBIG, EINVAL, ENOMEM};
    for (int code : codes) {
        DWORD length = 0;
        std::string expected = std::string(std::strerror(code)) + "\n";
        EXPECT_EQ(text_for(static_cast<DWORD>(code), &length), expected);
        EXPECT_EQ(length, expected.size());
    }
}

TEST(ErrorText, TheEndOfASourceHasTheTextOfItsOwnCode)
{
    EXPECT_EQ(text_for(ERROR_HANDLE_EOF), "Reached the end of the file\n");
}

// The caller then shows the bare number, so no text may be handed out.
TEST(ErrorText, CodesWithoutATextGiveNone)
{
    const DWORD codes[] = {223, 0x80000000u, 0xFFFFFFFFu, ERROR_HANDLE_EOF + 1};
    for (DWORD code : codes)
        EXPECT_EQ(text_for(code), "<none>") << code;
}

TEST(LastError, IsKeptPerThread)
{
    SetLastError(ENOENT);
    DWORD seen_by_other = 1;
    std::thread other([&] {
        seen_by_other = GetLastError();
        SetLastError(EACCES);
    });
    other.join();
    EXPECT_EQ(seen_by_other, NO_ERROR);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ENOENT));
}

TEST(BoundedFormat, ATextOf1023CharactersFitsA1024ByteBuffer)
{
    std::string text(1023, 'n');
    char buffer[1024];
    EXPECT_EQ(format(buffer, sizeof buffer, _TRUNCATE, "%s", text.c_str()), 1023);
    EXPECT_EQ(std::string(buffer), text);
}

TEST(BoundedFormat, ALongerTextIsCutTerminatedAndReportedAsMinusOne)
{
    std::string text(1024, 'n');
    char buffer[1025];
    buffer[1024] = 'X';  // a byte past the buffer the call is given: must stay untouched
    EXPECT_EQ(format(buffer, 1024, _TRUNCATE, "%s", text.c_str()), -1);
    EXPECT_EQ(buffer[1023], '\0');
    EXPECT_EQ(std::string(buffer), text.substr(0, 1023));
    EXPECT_EQ(buffer[1024], 'X');
}

TEST(BoundedFormat, ACountShorterThanTheTextLeavesTheBufferEmpty)
{
    char buffer[16];
    EXPECT_EQ(format(buffer, sizeof buffer, 3, "%s", "abc"), 3);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(format(buffer, sizeof buffer, 3, "%s", "abcd"), -1);
    EXPECT_STREQ(buffer, "");
}

TEST(BoundedFormat, PercentSignsInAValueAreCopiedAsText)
{
    char buffer[64];
    EXPECT_EQ(format(buffer, sizeof buffer, _TRUNCATE, "\\\\.\\physicaldrive%s", "%s%n%x"), 23);
    EXPECT_STREQ(buffer, "\\\\.\\physicaldrive%s%n%x");
}

}  // namespace
