// The two runs: which ends they open and close, in what order and how, the length each
// settles, and where on the drive the bytes go.
#include "logic_support.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

const std::set<std::string> HANDLE_OPS = {"CreateFileA", "SetFilePointerEx", "GetFileSize",
                                          "FlushFileBuffers", "CloseHandle"};

class Runs : public FakePlatformTest {
protected:
    void SetUp() override
    {
        FakePlatformTest::SetUp();
        drive = pattern_bytes(16384, 5);
        fake_add_object(DRIVE0, drive);
    }

    // The drive's bytes outside [from, from + count) are as they were.
    void expect_drive_untouched_around(std::size_t from, std::size_t count)
    {
        const Bytes& after = bytes_of(DRIVE0);
        ASSERT_EQ(drive.size(), after.size());
        EXPECT_EQ(slice(drive, 0, from), slice(after, 0, from));
        EXPECT_EQ(slice(drive, from + count, drive.size() - from - count),
                  slice(after, from + count, after.size() - from - count));
    }

    std::vector<long long> open_arguments(std::size_t nth)
    {
        return fake_calls_of("CreateFileA").at(nth).args;
    }

    Bytes drive;
};

TEST_F(Runs, SaveOpensTheDriveFirstAndClosesItFirst)
{
    run({"-S", "0", "boot.bin"});
    EXPECT_THAT(trace(HANDLE_OPS),
                ElementsAre("CreateFileA " + DRIVE0, "CreateFileA boot.bin", "CreateFileA boot.bin",
                            "FlushFileBuffers boot.bin", "CloseHandle " + DRIVE0,
                            "CloseHandle boot.bin"));
    EXPECT_EQ(OPEN_SHARED, open_arguments(0));
    EXPECT_EQ(PROBE, open_arguments(1));
    EXPECT_EQ(CREATE_OUTPUT, open_arguments(2));
    EXPECT_EQ("Read 512 bytes\r" + COMPLETION, fake_output());
    // The completion is followed by one key wait, and the run ends there.
    EXPECT_EQ(1u, count_of("_getch"));
    EXPECT_EQ("_getch", fake_ops().back());
}

TEST_F(Runs, LoadOpensTheFileFirstAndClosesItFirst)
{
    fake_add_object("image.bin", pattern_bytes(1000, 6));
    run({"-L", "0", "image.bin"});
    // The drive's size tells that it holds the image.
    EXPECT_THAT(trace(HANDLE_OPS),
                ElementsAre("CreateFileA image.bin", "GetFileSize image.bin",
                            "CreateFileA " + DRIVE0, "GetFileSize " + DRIVE0,
                            "FlushFileBuffers " + DRIVE0, "CloseHandle image.bin",
                            "CloseHandle " + DRIVE0));
    EXPECT_EQ(OPEN_SHARED, open_arguments(0));
    EXPECT_EQ(OPEN_SHARED, open_arguments(1));
    EXPECT_EQ("Write 1000 bytes\r" + COMPLETION, fake_output());
}

TEST_F(Runs, LoadWithoutLengthCopiesTheWholeFileAndNothingElse)
{
    Bytes image = pattern_bytes(1500, 6);  // not a whole number of sectors
    for (const char* length : {"", "0", "000"}) {
        SCOPED_TRACE(length);
        fake_reset();
        fake_add_object(DRIVE0, drive);
        fake_add_object("image.bin", image);
        if (*length == '\0')
            run({"-L", "0", "image.bin"});
        else
            run({"-L", "0", "image.bin", "0", length});
        EXPECT_EQ(image, slice(bytes_of(DRIVE0), 0, 1500));
        expect_drive_untouched_around(0, 1500);
        EXPECT_THAT(trace({"ReadFile", "WriteFile"}),
                    ElementsAre("ReadFile image.bin 1500", "WriteFile " + DRIVE0 + " 1500"));
    }
}

TEST_F(Runs, LoadWithAShorterLengthCopiesTheStartOfTheFile)
{
    Bytes image = pattern_bytes(3000, 6);
    fake_add_object("image.bin", image);
    run({"-L", "0", "image.bin", "0", "1000"});
    EXPECT_EQ(slice(image, 0, 1000), slice(bytes_of(DRIVE0), 0, 1000));
    expect_drive_untouched_around(0, 1000);
    EXPECT_EQ(image, bytes_of("image.bin"));
}

TEST_F(Runs, LoadOfAnEmptyFileWritesNothingAndCompletes)
{
    fake_add_object("image.bin", {});
    run({"-L", "0", "image.bin"});
    EXPECT_EQ(drive, bytes_of(DRIVE0));
    EXPECT_THAT(trace({"ReadFile", "WriteFile", "FlushFileBuffers"}), IsEmpty());
    EXPECT_EQ(COMPLETION, fake_output());
}

TEST_F(Runs, SectorPlacesTheDriveRightAfterItOpens)
{
    fake_add_object("boot.bin", {1, 2, 3});
    fake_press("1");
    run({"-S", "0", "boot.bin", "3", "700"});
    EXPECT_THAT(trace(HANDLE_OPS),
                ElementsAre("CreateFileA " + DRIVE0, "SetFilePointerEx " + DRIVE0 + " 1536",
                            "CreateFileA boot.bin", "CloseHandle boot.bin", "CreateFileA boot.bin",
                            "FlushFileBuffers boot.bin", "CloseHandle " + DRIVE0,
                            "CloseHandle boot.bin"));
    EXPECT_EQ(FILE_BEGIN, fake_calls_of("SetFilePointerEx")[0].args[1]);
    EXPECT_EQ(slice(drive, 1536, 700), bytes_of("boot.bin"));

    fake_reset();
    fake_add_object(DRIVE0, drive);
    Bytes image = pattern_bytes(700, 8);
    fake_add_object("image.bin", image);
    run({"-L", "0", "image.bin", "3"});
    EXPECT_THAT(trace(HANDLE_OPS),
                ElementsAre("CreateFileA image.bin", "GetFileSize image.bin",
                            "CreateFileA " + DRIVE0, "GetFileSize " + DRIVE0,
                            "SetFilePointerEx " + DRIVE0 + " 1536",
                            "FlushFileBuffers " + DRIVE0, "CloseHandle image.bin",
                            "CloseHandle " + DRIVE0));
    EXPECT_EQ(image, slice(bytes_of(DRIVE0), 1536, 700));
    expect_drive_untouched_around(1536, 700);
}

TEST_F(Runs, SectorZeroOrNoneMakesNoPositioningCall)
{
    run({"-S", "0", "a.bin"});
    run({"-S", "0", "b.bin", "0"});
    run({"-S", "0", "c.bin", " +0"});
    fake_add_object("image.bin", pattern_bytes(100));
    run({"-L", "0", "image.bin", "0"});
    EXPECT_EQ(0u, count_of("SetFilePointerEx"));
}

TEST_F(Runs, AFailedPositioningIsReportedAndNothingMoves)
{
    fake_fail("SetFilePointerEx", 1, ERROR_INVALID_PARAMETER);
    run({"-S", "0", "boot.bin", "1"});
    EXPECT_EQ(error_report(ERROR_INVALID_PARAMETER), fake_output());
    EXPECT_FALSE(fake_has_object("boot.bin"));
    EXPECT_EQ(1u, count_of("CreateFileA"));

    fake_reset();
    fake_add_object(DRIVE0, drive);
    fake_fail("SetFilePointerEx", 1, ERROR_INVALID_PARAMETER);
    fake_add_object("image.bin", pattern_bytes(512));
    run({"-L", "0", "image.bin", "1"});
    EXPECT_EQ(drive, bytes_of(DRIVE0));
    EXPECT_EQ(error_report(ERROR_INVALID_PARAMETER), fake_output());
    EXPECT_EQ(0u, count_of("ReadFile"));
}

// Sizes whose low part is the value GetFileSize also gives for a failure.
TEST_F(Runs, AFileSizeWithALowPartOfAllOnesIsNotMistakenForAFailedSizeQuery)
{
    for (unsigned long long size : {0xFFFFFFFFull, 0x1FFFFFFFFull}) {
        SCOPED_TRACE(size);
        fake_reset();
        FakeObject& big_drive = fake_add_object(DRIVE0, {});
        big_drive.hollow = big_drive.has_reported_size = true;
        big_drive.reported_size = 0x200000000ull;  // holds either size
        FakeObject& file = fake_add_object("image.bin", pattern_bytes(2000, 6));
        file.has_reported_size = true;
        file.reported_size = size;
        run({"-L", "0", "image.bin"});
        EXPECT_THAT(trace({"CreateFileA", "ReadFile"}),
                    ElementsAre("CreateFileA image.bin", "CreateFileA " + DRIVE0,
                                "ReadFile image.bin " + std::to_string(CHUNK_SIZE)));
        EXPECT_EQ("Write 2000 bytes\r" + error_report(ERROR_HANDLE_EOF), fake_output());
    }
}

TEST_F(Runs, AFailedSizeQueryIsReportedBeforeTheDriveOpens)
{
    fake_fail("GetFileSize", 1, ERROR_ACCESS_DENIED);
    fake_add_object("image.bin", pattern_bytes(512));
    run({"-L", "0", "image.bin"});
    EXPECT_EQ(drive, bytes_of(DRIVE0));
    EXPECT_EQ(error_report(ERROR_ACCESS_DENIED), fake_output());
    EXPECT_EQ(1u, count_of("CreateFileA"));
}

TEST_F(Runs, FailedOpensAreReportedInTheOrderOfTheMode)
{
    // Save: a drive that cannot be opened leaves an existing output file alone, unasked.
    fake_add_object("boot.bin", {4, 5, 6});
    run({"-S", "9", "boot.bin"});
    EXPECT_EQ(error_report(ERROR_FILE_NOT_FOUND), fake_output());
    EXPECT_THAT(trace({"CreateFileA"}), ElementsAre("CreateFileA \\\\.\\physicaldrive9"));
    EXPECT_EQ(Bytes({4, 5, 6}), bytes_of("boot.bin"));

    // Save: the output file cannot be created.
    fake_reset();
    fake_add_object(DRIVE0, drive);
    fake_fail("CreateFileA", 3, ERROR_ACCESS_DENIED);
    run({"-S", "0", "boot.bin"});
    EXPECT_EQ(error_report(ERROR_ACCESS_DENIED), fake_output());
    EXPECT_EQ(0u, count_of("ReadFile"));

    // Load: a missing file is reported before the drive is tried.
    fake_reset();
    fake_add_object(DRIVE0, drive);
    run({"-L", "0", "missing.bin"});
    EXPECT_EQ(error_report(ERROR_FILE_NOT_FOUND), fake_output());
    EXPECT_THAT(trace({"CreateFileA"}), ElementsAre("CreateFileA missing.bin"));

    // Load: a drive that cannot be opened; nothing is written anywhere.
    fake_reset();
    fake_add_object("image.bin", pattern_bytes(512));
    run({"-L", "9", "image.bin"});
    EXPECT_EQ(error_report(ERROR_FILE_NOT_FOUND), fake_output());
    EXPECT_EQ(0u, count_of("WriteFile"));
    EXPECT_EQ(pattern_bytes(512), bytes_of("image.bin"));
}

}  // namespace
