// Command lines the program cannot or must not run, and names that reach the platform as
// typed.
#include "end_to_end.h"

#include <algorithm>
#include <filesystem>

namespace {

// The drive name is this prefix and the Drive text; it has 17 characters.
const std::size_t DRIVE_PREFIX_LENGTH = std::string("\\\\.\\physicaldrive").size();

class CommandLine : public EndToEnd {
protected:
    // A relative file name of exactly `length` characters, its folders made: the limit is
    // on the name as typed, whatever the working directory.
    std::string file_name_of_length(std::size_t length)
    {
        std::string name;
        while (length - name.size() > 250)
            name += std::string(200, 'd') + "/";
        std::filesystem::create_directories(at(name));
        return name + std::string(length - name.size(), 'f');
    }

    // Runs a Save that must copy the first 512 bytes of drive 0, and nothing else, to `out`.
    void expect_first_sector_saved(const std::vector<std::string>& arguments,
                                   const std::string& out)
    {
        std::string drive = random_bytes(4096, 3);
        attach_image(0, drive);
        ProgramRun saved = run_to_end(arguments);
        EXPECT_TRUE(ended_with_status_0(saved, 1));
        EXPECT_EQ(saved.output, progress("Read", {512}) + COMPLETED);
        EXPECT_TRUE(same_bytes(read_whole_file(at(out)), drive.substr(0, 512)));
    }
};

TEST_F(CommandLine, AnUnusableCommandLineShowsTheUsageWaitsForAKeyAndTouchesNothing)
{
    std::string drive = random_bytes(4096, 1);
    attach_image(0, drive);
    write_whole_file(at("in.bin"), random_bytes(512, 2));
    const std::vector<std::vector<std::string>> command_lines = {{},
                                                                 {"-S"},
                                                                 {"-S", "0"},
                                                                 {"-x", "0", "out.bin"},
                                                                 {"-load", "0", "in.bin"},
                                                                 {"/S", "0", "out.bin"},
                                                                 {"S", "0", "out.bin"},
                                                                 {"-SS", "0", "out.bin"},
                                                                 {"", "0", "out.bin"}};
    for (const auto& arguments : command_lines) {
        SCOPED_TRACE(::testing::PrintToString(arguments));
        ProgramRun shown = run_to_end(arguments);
        EXPECT_TRUE(ended_with_status_0(shown, 1));
        EXPECT_EQ(shown.output, USAGE_SCREEN);
        EXPECT_FALSE(std::filesystem::exists(at("out.bin")));
        EXPECT_TRUE(same_bytes(read_whole_file(image(0)), drive));
    }
}

// A percent sign is no template; a name beyond ASCII reaches Windows whole where the
// process's code page is UTF-8.
TEST_F(CommandLine, NamesAreUsedAsTyped)
{
    for (const std::string name : {"out%s%n%x.bin", "диск.bin"}) {
        SCOPED_TRACE(name);
        expect_first_sector_saved({"-S", "0", name}, name);
        backend->detach_drives();
    }
}

TEST_F(CommandLine, AFileNameOf1023CharactersIsUsedAsTyped)
{
    REQUIRE_FEATURE(Feature::LongFileNames);
    std::string name = file_name_of_length(1023);
    expect_first_sector_saved({"-S", "0", name}, name);
}

// No drive is attached: had the program opened anything before refusing, it would have
// reported the missing drive instead.
TEST_F(CommandLine, AFileNameOf1024CharactersIsRefusedBeforeAnythingIsOpened)
{
    std::string name = file_name_of_length(1024);
    ProgramRun saved = run_to_end({"-S", "0", name});
    EXPECT_TRUE(ended_with_status_0(saved, 1));
    EXPECT_EQ(saved.output, error_report(Failure::NameTooLong));
    EXPECT_FALSE(std::filesystem::exists(at(name)));

    write_whole_file(at(name), "to load");
    ProgramRun loaded = run_to_end({"-L", "0", name});
    EXPECT_TRUE(ended_with_status_0(loaded, 1));
    EXPECT_EQ(loaded.output, error_report(Failure::NameTooLong));
}

// The name is looked up, not refused; with its leading zeros it names no drive.
TEST_F(CommandLine, ADriveNameOf1023CharactersIsLookedUp)
{
    REQUIRE_FEATURE(Feature::LongDriveNames);
    ProgramRun saved = run_to_end({"-S", std::string(1023 - DRIVE_PREFIX_LENGTH, '0'), "out.bin"});
    EXPECT_TRUE(ended_with_status_0(saved, 1));
    EXPECT_EQ(saved.output, error_report(Failure::NotFound));
}

// Cut to 1,023 characters this would be another name: only refusing it is safe.
TEST_F(CommandLine, ADriveNameOf1024CharactersIsRefusedBeforeAnythingIsOpened)
{
    std::string drive = random_bytes(4096, 6);
    attach_image(0, drive);
    write_whole_file(at("in.bin"), random_bytes(512, 7));
    std::string drive_text(1024 - DRIVE_PREFIX_LENGTH, '0');
    const std::vector<std::vector<std::string>> command_lines = {{"-S", drive_text, "out.bin"},
                                                                 {"-L", drive_text, "in.bin"}};
    for (const auto& arguments : command_lines) {
        SCOPED_TRACE(arguments[0]);
        ProgramRun shown = run_to_end(arguments);
        EXPECT_TRUE(ended_with_status_0(shown, 1));
        EXPECT_EQ(shown.output, error_report(Failure::NameTooLong));
    }
    EXPECT_FALSE(std::filesystem::exists(at("out.bin")));
    EXPECT_TRUE(same_bytes(read_whole_file(image(0)), drive));
}

// Read as far as its digits go, each of these would have sent a Load to a sector or a
// length the user never typed. A Drive text other than digits would send it wherever the
// drive name formed from it leads: on Windows "0\..\Z:\...\victim.bin" is that file.
TEST_F(CommandLine, ADriveLengthOrSectorThatIsNotADecimalNumberIsRefusedBeforeAnythingIsOpened)
{
    std::string drive = random_bytes(4096, 8);
    attach_image(0, drive);
    write_whole_file(at("in.bin"), random_bytes(512, 9));
    std::string victim = random_bytes(512, 10);
    write_whole_file(at("victim.bin"), victim);
    std::string victim_on_windows = "0\\..\\Z:" + at("victim.bin");
    std::replace(victim_on_windows.begin(), victim_on_windows.end(), '/', '\\');
    const std::vector<std::vector<std::string>> command_lines = {
        {"-L", victim_on_windows, "in.bin"},
        {"-L", "0/../victim.bin", "in.bin"},
        {"-S", "%s%n%x", "out.bin"},
        {"-S", "", "out.bin"},
        {"-S", " 0", "out.bin"},
        {"-S", "0", "out.bin", "0", "18446744073709551616"},
        {"-S", "0", "out.bin", "-2147483649"},
        {"-L", "0", "in.bin", "18014398509481984"},
        {"-L", "0", "in.bin", "0", "99999999999999999999"},
        {"-L", "0", "in.bin", "0x800"},
        {"-L", "0", "in.bin", "1e3"},
        {"-L", "0", "in.bin", "1,000"},
        {"-L", "0", "in.bin", "2048s"},
        {"-L", "0", "in.bin", "0", "1k"},
        {"-L", "0", "in.bin", "0", "0x200"},
        {"-L", "0", "in.bin", "0", ""},
        {"-S", "0", "out.bin", "0", "abc"}};
    for (const auto& arguments : command_lines) {
        SCOPED_TRACE(::testing::PrintToString(arguments));
        ProgramRun shown = run_to_end(arguments);
        EXPECT_TRUE(ended_with_status_0(shown, 1));
        EXPECT_EQ(shown.output, error_report(Failure::InvalidParameter));
    }
    EXPECT_FALSE(std::filesystem::exists(at("out.bin")));
    EXPECT_TRUE(same_bytes(read_whole_file(image(0)), drive));
    EXPECT_TRUE(same_bytes(read_whole_file(at("victim.bin")), victim));
}

}  // namespace
