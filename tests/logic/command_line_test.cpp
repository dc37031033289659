// How the command line is read: the usage screen, the keys, the names and the counts.
#include "logic_support.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class CommandLine : public FakePlatformTest {
protected:
    void SetUp() override
    {
        FakePlatformTest::SetUp();
        drive = pattern_bytes(8192, 3);
        fake_add_object(DRIVE0, drive);
    }

    // The screen shows the usage and waits for one key; nothing is opened.
    void expect_usage_only()
    {
        EXPECT_EQ(USAGE_SCREEN, fake_output());
        EXPECT_EQ(0u, count_of("CreateFileA"));
        EXPECT_EQ(1u, count_of("_getch"));
        EXPECT_EQ("_getch", fake_ops().back());
    }

    // The command line was refused with `code` before anything was opened.
    void expect_refused(DWORD code)
    {
        EXPECT_EQ(error_report(code), fake_output());
        EXPECT_EQ(0u, count_of("CreateFileA"));
        EXPECT_EQ(1u, count_of("_getch"));
    }

    // The counts asked of ReadFile in a Save.
    std::vector<long long> reads_asked()
    {
        std::vector<long long> counts;
        for (const FakeCall& call : fake_calls_of("ReadFile"))
            counts.push_back(call.args[0]);
        return counts;
    }

    Bytes drive;
};

TEST_F(CommandLine, FewerThanThreeArgumentsShowTheUsageScreen)
{
    run({});
    expect_usage_only();
    fake_reset();
    run({"-S"});
    expect_usage_only();
    fake_reset();
    run({"-S", "0"});
    expect_usage_only();
}

TEST_F(CommandLine, OnlyTheFourExactKeysAreAccepted)
{
    for (const char* key : {"-x", "-load", "/S", "S", "s", "-SS", "-s ", " -s", "-", "", "--S",
                            "-Save", "L", "/l", "-L0"}) {
        SCOPED_TRACE(std::string("key '") + key + "'");
        fake_reset();
        fake_add_object("boot.bin", pattern_bytes(10));
        run({key, "0", "boot.bin"});
        expect_usage_only();
    }
}

TEST_F(CommandLine, UpperAndLowerCaseKeysSelectTheSameMode)
{
    for (const char* key : {"-S", "-s"}) {
        SCOPED_TRACE(key);
        fake_reset();
        fake_add_object(DRIVE0, drive);
        run({key, "0", "boot.bin"});
        EXPECT_EQ(slice(drive, 0, 512), bytes_of("boot.bin"));
    }
    for (const char* key : {"-L", "-l"}) {
        SCOPED_TRACE(key);
        fake_reset();
        fake_add_object(DRIVE0, drive);
        Bytes image = pattern_bytes(700, 4);
        fake_add_object("boot.bin", image);
        run({key, "0", "boot.bin"});
        EXPECT_EQ(image, slice(bytes_of(DRIVE0), 0, 700));
    }
}

// Other Drive texts would form names the system reads as paths: "0\..\C:\x" is C:\x.
TEST_F(CommandLine, DriveTextOfDigitsFollowsTheRawDrivePrefixAndAnyOtherIsRefused)
{
    fake_add_object("\\\\.\\physicaldrive1", pattern_bytes(512, 9));
    run({"-S", "1", "one.bin"});
    EXPECT_EQ("\\\\.\\physicaldrive1", fake_calls_of("CreateFileA")[0].name);
    EXPECT_EQ(pattern_bytes(512, 9), bytes_of("one.bin"));

    for (const char* text : {"C:", "0\\..\\C:\\victim.txt", "%s", "", " 0", "+0", "1a"}) {
        SCOPED_TRACE(std::string("drive '") + text + "'");
        fake_reset();
        run({"-S", text, "two.bin"});
        expect_refused(ERROR_INVALID_PARAMETER);
    }
}

TEST_F(CommandLine, PercentSignsInNamesAreCopiedLiterally)
{
    run({"-S", "0", "%s%n%x%d.bin"});
    EXPECT_THAT(trace({"CreateFileA"}), ElementsAre("CreateFileA " + DRIVE0,
                                                    "CreateFileA %s%n%x%d.bin",
                                                    "CreateFileA %s%n%x%d.bin"));
    EXPECT_EQ(slice(drive, 0, 512), bytes_of("%s%n%x%d.bin"));
}

TEST_F(CommandLine, LengthTextIsADecimalNumber)
{
    struct Case {
        const char* text;
        DWORD length;
    };
    for (Case c : {Case{"512", 512}, Case{"1000", 1000}, Case{"1", 1}, Case{" 77", 77},
                   Case{"\t\n+9", 9}, Case{"0", 512}, Case{"-0", 512}, Case{"0001000", 1000}}) {
        SCOPED_TRACE(std::string("length '") + c.text + "'");
        fake_reset();
        fake_add_object(DRIVE0, drive);
        run({"-S", "0", "out.bin", "0", c.text});
        EXPECT_THAT(reads_asked(), ElementsAre(c.length));
        EXPECT_EQ(slice(drive, 0, c.length), bytes_of("out.bin"));
        EXPECT_EQ(COMPLETION, fake_output().substr(fake_output().find('\r') + 1));
    }
}

TEST_F(CommandLine, FourArgumentsNameTheSectorAndLeaveTheDefaultLength)
{
    run({"-S", "0", "out.bin", "2"});
    EXPECT_THAT(trace({"SetFilePointerEx"}), ElementsAre("SetFilePointerEx " + DRIVE0 + " 1024"));
    EXPECT_EQ(slice(drive, 1024, 512), bytes_of("out.bin"));
}

TEST_F(CommandLine, ArgumentsAfterTheFifthAreIgnored)
{
    run({"-S", "0", "out.bin", "0", "100", "4294967296", "-x"});
    EXPECT_EQ(slice(drive, 0, 100), bytes_of("out.bin"));
    EXPECT_EQ("Read 100 bytes\r" + COMPLETION, fake_output());
}

TEST_F(CommandLine, LengthMinusOneAsksForEveryByteTheDriveHolds)
{
    run({"-S", "0", "out.bin", "0", "-1"});
    EXPECT_THAT(reads_asked(), ElementsAre(CHUNK_SIZE));
    EXPECT_EQ(drive, bytes_of("out.bin"));
    EXPECT_EQ("Read 8192 bytes\r" + error_report(ERROR_HANDLE_EOF), fake_output());
}

// Negative counts keep their 32-bit meaning; every other count up to 64 bits is taken as
// typed, a Sector as far as its byte offset fits a signed 64-bit position.
TEST_F(CommandLine, CountsAreTakenAsWrittenUpTo64Bits)
{
    struct Case {
        const char* text;
        unsigned long long sector;
    };
    for (Case c : {Case{"2147483648", 2147483648ull}, Case{"4294967295", 4294967295ull},
                   Case{"-1", 4294967295ull}, Case{"-2147483648", 2147483648ull},
                   Case{"4294967296", 4294967296ull},
                   Case{"18014398509481983", 18014398509481983ull}}) {
        SCOPED_TRACE(c.text);
        fake_reset();
        fake_add_object(DRIVE0, drive);
        run({"-S", "0", "out.bin", c.text});
        EXPECT_THAT(trace({"SetFilePointerEx"}),
                    ElementsAre("SetFilePointerEx " + DRIVE0 + " " + std::to_string(c.sector * 512)));
    }
    // As a Length, such a value asks for a whole chunk rather than the default.
    for (const char* text : {"2147483648", "4294967296", "18014398509481984",
                             "18446744073709551615"}) {
        SCOPED_TRACE(text);
        fake_reset();
        fake_add_object(DRIVE0, drive);
        run({"-S", "0", "out.bin", "0", text});
        EXPECT_THAT(reads_asked(), ElementsAre(CHUNK_SIZE));
    }
}

// Read only as far as its digits go, "0x800" would be sector 0 and "1k" one byte.
TEST_F(CommandLine, CountsThatAreNotDecimalNumbersOrBeyond64BitsAreRefusedBeforeAnythingOpens)
{
    for (const char* text : {"18446744073709551616", "-2147483649", "99999999999999999999999",
                             "-4294967296", "", " ", "abc", "12abc", "0x800", "1e3", "1,000",
                             "2048s", "1k", "0x200", "512 ", "- 1", "+-1", "-", "+", "1.5"}) {
        SCOPED_TRACE(std::string("count '") + text + "'");
        fake_reset();
        run({"-S", "0", "out.bin", text});
        expect_refused(ERROR_INVALID_PARAMETER);

        fake_reset();
        run({"-L", "0", "out.bin", "0", text});
        expect_refused(ERROR_INVALID_PARAMETER);
    }
    // Past this Sector the byte offset no longer fits a signed 64-bit position.
    fake_reset();
    run({"-L", "0", "out.bin", "18014398509481984"});
    expect_refused(ERROR_INVALID_PARAMETER);
}

TEST_F(CommandLine, NamesUpTo1023CharactersAreUsed)
{
    // The drive prefix \\.\physicaldrive takes 17 of them.
    const std::string drive_text(1023 - 17, '7');
    const std::string file_name(1023, 'f');
    fake_add_object("\\\\.\\physicaldrive" + drive_text, drive);
    run({"-S", drive_text, file_name});
    std::vector<FakeCall> opens = fake_calls_of("CreateFileA");
    ASSERT_EQ(3u, opens.size());
    EXPECT_EQ(1023u, opens[0].name.size());
    EXPECT_EQ(file_name, opens[2].name);
    EXPECT_EQ(slice(drive, 0, 512), bytes_of(file_name));
}

TEST_F(CommandLine, NamesOf1024CharactersOrMoreAreRefusedBeforeAnythingOpens)
{
    for (std::size_t size : {1024u, 1025u, 5000u}) {
        SCOPED_TRACE(size);
        fake_reset();
        run({"-S", std::string(size - 17, '7'), "out.bin"});
        expect_refused(ERROR_FILENAME_EXCED_RANGE);

        fake_reset();
        run({"-L", "0", std::string(size, 'f')});
        expect_refused(ERROR_FILENAME_EXCED_RANGE);
    }
    EXPECT_THAT(fake_calls_of("ReadFile"), IsEmpty());
}

}  // namespace
