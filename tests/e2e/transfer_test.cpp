// Save and Load on image files: every byte where it belongs, nothing else touched, and
// the progress and closing texts a person sees.
#include "end_to_end.h"
#include "loop_device.h"
#include "small_file_system.h"

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/file.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

// A drive larger than every length below, so only the length decides where copying stops.
const std::size_t DRIVE_SIZE = 2 * CHUNK + 8192;

using Transfer = EndToEnd;

// An image past 4 GiB: 4,195 whole chunks and part of one more.
const unsigned long long BIG_IMAGE = 4296000000ull;

// What a Load and a Save of the big image write to the scratch folder, and a margin.
const unsigned long long BIG_IMAGE_ROOM = 10000000000ull;

// A Load or Save of the big image takes 10 to 20 s on an ext4 disk that stores 400 MB/s;
// two of them and the checks stay within CTest's limit for one case (120 s).
const int BIG_COPY_DEADLINE_SECONDS = 50;

// The lock every case with a big image holds while it lives, whatever build or backend
// runs it: two such cases at once would need twice the room and the time.
struct BigImageTurn {
    int lock = open((std::filesystem::temp_directory_path() / "vorlent-big-images.lock").c_str(),
                    O_CREAT | O_RDWR | O_CLOEXEC, 0666);
    BigImageTurn() { flock(lock, LOCK_EX); }
    ~BigImageTurn() { close(lock); }
};

// A file of `size` bytes that takes no room: a hole.
void make_sparse(const std::string& name, unsigned long long size)
{
    write_whole_file(name, "");
    std::filesystem::resize_file(name, size);
}

void write_at(const std::string& name, unsigned long long offset, const std::string& bytes)
{
    std::fstream file(name, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(offset));
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string read_at(const std::string& name, unsigned long long offset, std::size_t count)
{
    std::ifstream file(name, std::ios::binary);
    std::string bytes(count, '\0');
    file.seekg(static_cast<std::streamoff>(offset));
    file.read(bytes.data(), static_cast<std::streamsize>(count));
    bytes.resize(static_cast<std::size_t>(file.gcount()));
    return bytes;
}

// The totals a copy of `length` bytes shows.
std::vector<unsigned long long> chunk_totals(unsigned long long length)
{
    std::vector<unsigned long long> totals;
    for (unsigned long long done = CHUNK; done < length; done += CHUNK)
        totals.push_back(done);
    totals.push_back(length);
    return totals;
}

// The totals a Load of `length` bytes shows: its first chunk, written last, comes last.
std::vector<unsigned long long> load_totals(unsigned long long length)
{
    if (length <= CHUNK)
        return {length};
    std::vector<unsigned long long> totals = chunk_totals(length - CHUNK);
    totals.push_back(length);
    return totals;
}

TEST_F(Transfer, SaveCopiesTheFirst512BytesOfTheDriveByDefault)
{
    std::string drive = random_bytes(DRIVE_SIZE, 10);
    attach_image(0, drive);
    struct Case {
        std::vector<std::string> arguments;
        std::size_t start;
    };
    // With four arguments the fourth is the Sector: the length stays the default.
    const Case cases[] = {{{"-S", "0", "a.bin"}, 0},
                          {{"-s", "0", "b.bin", "0", "0"}, 0},
                          {{"-S", "0", "c.bin", "0", "000"}, 0},
                          {{"-S", "0", "d.bin", "512"}, 512 * 512},
                          {{"-S", "0", "e.bin", "0", "512", "extra", "ignored"}, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.arguments));
        ProgramRun saved = run_to_end(c.arguments);
        EXPECT_TRUE(ended_with_status_0(saved, 1));
        EXPECT_EQ(saved.output, progress("Read", {512}) + COMPLETED);
        EXPECT_TRUE(same_bytes(read_whole_file(at(c.arguments[2])), drive.substr(c.start, 512)));
    }
    // The drive is opened for writing too; reading it must not change it.
    EXPECT_TRUE(same_bytes(read_whole_file(image(0)), drive));
}

struct ChunkCase {
    unsigned length;
    std::vector<unsigned long long> totals;  // a Save's
};

// One chunk, exactly one chunk, one byte into the second, two chunks and part of a third.
const ChunkCase CHUNK_CASES[] = {{512, {512}},
                                 {CHUNK, {CHUNK}},
                                 {CHUNK + 1, {CHUNK, CHUNK + 1}},
                                 {2 * CHUNK + 1000, {CHUNK, 2 * CHUNK, 2 * CHUNK + 1000}}};

void PrintTo(const ChunkCase& chunk_case, std::ostream* out)
{
    *out << chunk_case.length << " bytes";
}

class AcrossChunks : public EndToEnd, public ::testing::WithParamInterface<ChunkCase> {};

TEST_P(AcrossChunks, SaveWritesExactlyTheLengthFromTheDrive)
{
    const ChunkCase& c = GetParam();
    std::string drive = random_bytes(DRIVE_SIZE, 11);
    attach_image(0, drive);
    write_whole_file(at("out.bin"), std::string(DRIVE_SIZE, 'x'));  // longer: must be cut
    ProgramRun saved = run({"-S", "0", "out.bin", "0", std::to_string(c.length)},
                           {{overwrite_question("out.bin"), "1"}, {PRESS_ANY_KEY, "k"}});
    EXPECT_TRUE(ended_with_status_0(saved, 2));
    EXPECT_EQ(saved.output, overwrite_question("out.bin") + progress("Read", c.totals) + COMPLETED);
    EXPECT_TRUE(same_bytes(read_whole_file(at("out.bin")), drive.substr(0, c.length)));
    EXPECT_TRUE(same_bytes(read_whole_file(image(0)), drive));
}

// Windows would refuse the last write of several chunks that ends inside a sector, so the
// Windows build refuses such a Load before its first byte.
TEST_P(AcrossChunks, LoadWritesExactlyTheLengthAndLeavesTheRestOfTheDrive)
{
    const ChunkCase& c = GetParam();
    std::string drive = random_bytes(DRIVE_SIZE, 12);
    attach_image(0, drive);
    std::string file = random_bytes(c.length + 777, 13);  // longer than the length asked
    write_whole_file(at("in.bin"), file);
    ProgramRun loaded = run_to_end({"-L", "0", "in.bin", "0", std::to_string(c.length)});
    EXPECT_TRUE(ended_with_status_0(loaded, 1));
    bool refused =
        c.length > CHUNK && c.length % 512 != 0 && !backend->supports(Feature::LoadTailsOfAnySize);
    EXPECT_EQ(loaded.output, refused ? error_report(Failure::InvalidParameter)
                                     : progress("Write", load_totals(c.length)) + COMPLETED);
    EXPECT_TRUE(same_bytes(read_whole_file(image(0)),
                           refused ? drive : file.substr(0, c.length) + drive.substr(c.length)));
    EXPECT_TRUE(same_bytes(read_whole_file(at("in.bin")), file));
}

INSTANTIATE_TEST_SUITE_P(Lengths, AcrossChunks, ::testing::ValuesIn(CHUNK_CASES),
                         [](const ::testing::TestParamInfo<ChunkCase>& chunk_case) {
                             return "Length" + std::to_string(chunk_case.param.length);
                         });

TEST_F(Transfer, LoadWithoutALengthCopiesTheWholeFileWhateverItsSize)
{
    std::string drive = random_bytes(8192, 14);
    attach_image(0, drive);
    std::string file = random_bytes(1000, 15);
    write_whole_file(at("in.bin"), file);
    const std::vector<std::vector<std::string>> command_lines = {
        {"-L", "0", "in.bin"}, {"-l", "0", "in.bin", "0", "0"}, {"-L", "0", "in.bin", "0", "-0"}};
    for (const auto& arguments : command_lines) {
        SCOPED_TRACE(::testing::PrintToString(arguments));
        write_whole_file(image(0), drive);
        ProgramRun loaded = run_to_end(arguments);
        EXPECT_TRUE(ended_with_status_0(loaded, 1));
        EXPECT_EQ(loaded.output, progress("Write", {1000}) + COMPLETED);
        EXPECT_TRUE(same_bytes(read_whole_file(image(0)), file + drive.substr(1000)));
    }
}

// Started with a standard stream closed, the program must not let the first file or drive
// it opens take that number: the progress text would go onto the drive, or the drive's
// bytes would answer the overwrite question.
TEST_F(Transfer, AClosedStandardStreamNeverStandsInForTheDriveOrTheFile)
{
    // A drive read as standard input would answer the question with its first byte: 1.
    std::string drive = "1" + random_bytes(8191, 24);
    attach_image(0, drive);
    std::string file = random_bytes(1000, 25);
    write_whole_file(at("in.bin"), file);
    for (int closed : {0, 1}) {
        SCOPED_TRACE(closed == 0 ? "standard input closed" : "standard output closed");
        // Without standard output nothing is shown; without input every key wait ends.
        auto shown = [closed](const std::string& text) { return closed == 1 ? "" : text; };
        write_whole_file(image(0), drive);
        std::filesystem::remove(at("out.bin"));
        ProgramRun saved = run_with_closed(closed, {"-S", "0", "out.bin", "0", "100"});
        EXPECT_TRUE(ended_with_status_0(saved));
        EXPECT_EQ(saved.output, shown(progress("Read", {100}) + COMPLETED));
        EXPECT_TRUE(same_bytes(read_whole_file(at("out.bin")), drive.substr(0, 100)));

        write_whole_file(at("old.bin"), "kept");
        ProgramRun declined = run_with_closed(closed, {"-S", "0", "old.bin", "0", "100"});
        EXPECT_TRUE(ended_with_status_0(declined));
        EXPECT_EQ(declined.output, shown(overwrite_question("old.bin")));
        EXPECT_EQ(read_whole_file(at("old.bin")), "kept");
        EXPECT_TRUE(same_bytes(read_whole_file(image(0)), drive));

        ProgramRun loaded = run_with_closed(closed, {"-L", "0", "in.bin"});
        EXPECT_TRUE(ended_with_status_0(loaded));
        EXPECT_EQ(loaded.output, shown(progress("Write", {1000}) + COMPLETED));
        EXPECT_TRUE(same_bytes(read_whole_file(image(0)), file + drive.substr(1000)));
        EXPECT_TRUE(same_bytes(read_whole_file(at("in.bin")), file));
    }
}

TEST_F(Transfer, LoadOfAnEmptyFileWritesNothingAndShowsNoProgress)
{
    std::string drive = random_bytes(8192, 16);
    attach_image(0, drive);
    write_whole_file(at("empty.bin"), "");
    ProgramRun loaded = run_to_end({"-L", "0", "empty.bin"});
    EXPECT_TRUE(ended_with_status_0(loaded, 1));
    EXPECT_EQ(loaded.output, COMPLETED);
    EXPECT_TRUE(same_bytes(read_whole_file(image(0)), drive));
}

TEST_F(Transfer, TheSectorMovesTheStartOnTheDriveButNotInTheFile)
{
    std::string drive = random_bytes(8192, 17);
    attach_image(0, drive);
    ProgramRun saved = run_to_end({"-S", "0", "out.bin", "3", "1000"});
    EXPECT_TRUE(ended_with_status_0(saved, 1));
    EXPECT_EQ(saved.output, progress("Read", {1000}) + COMPLETED);
    EXPECT_TRUE(same_bytes(read_whole_file(at("out.bin")), drive.substr(1536, 1000)));

    std::string file = random_bytes(1000, 18);
    write_whole_file(at("in.bin"), file);
    ProgramRun loaded = run_to_end({"-L", "0", "in.bin", "3"});
    EXPECT_TRUE(ended_with_status_0(loaded, 1));
    EXPECT_EQ(loaded.output, progress("Write", {1000}) + COMPLETED);
    EXPECT_TRUE(
        same_bytes(read_whole_file(image(0)), drive.substr(0, 1536) + file + drive.substr(2536)));
}

// Counts, totals and offsets cut to 32 bits go wrong at 2 GiB and 4 GiB: bytes on both
// sides of each mark, the image's first and last, and the drive's bytes past the image
// show where each part went. The image is a hole but for those bytes, so only the copies
// cost room: about 8.6 GB, freed as soon as they are checked.
TEST_F(Transfer, AnImagePast4GiBLoadsAndSavesWholeWithEveryTotalInFull)
{
    BigImageTurn turn;
    struct statvfs disk;
    if (statvfs(work.path.c_str(), &disk) != 0 || disk.f_bavail * disk.f_frsize < BIG_IMAGE_ROOM)
        GTEST_SKIP() << "a Load and a Save of " << BIG_IMAGE << " bytes need "
                     << BIG_IMAGE_ROOM / 1000000000 << " GB free in " << work.path;
    const unsigned long long marks[] = {0, 0x80000000ull - 2048, 0x100000000ull - 2048,
                                        BIG_IMAGE - 4096};
    make_sparse(at("in.img"), BIG_IMAGE);
    make_sparse(image(0), BIG_IMAGE + CHUNK);
    for (unsigned i = 0; i < 4; ++i) {
        write_at(at("in.img"), marks[i], random_bytes(4096, 30 + i));
        write_at(image(0), marks[i], random_bytes(4096, 40 + i));
    }
    std::string past_the_image = random_bytes(CHUNK, 44);
    write_at(image(0), BIG_IMAGE, past_the_image);
    ASSERT_TRUE(backend->attach_drive(0, image(0)));

    ProgramRun loaded = run_without_input({"-L", "0", "in.img"}, BIG_COPY_DEADLINE_SECONDS);
    EXPECT_TRUE(ended_with_status_0(loaded));
    EXPECT_TRUE(same_bytes(loaded.output, progress("Write", load_totals(BIG_IMAGE)) + COMPLETED));
    for (unsigned i = 0; i < 4; ++i)
        EXPECT_EQ(read_at(image(0), marks[i], 4096), random_bytes(4096, 30 + i)) << marks[i];
    EXPECT_TRUE(same_bytes(read_at(image(0), BIG_IMAGE, CHUNK + 1), past_the_image));

    ProgramRun saved = run_without_input({"-S", "0", "out.img", "0", std::to_string(BIG_IMAGE)},
                                         BIG_COPY_DEADLINE_SECONDS);
    std::filesystem::remove(image(0));
    EXPECT_TRUE(ended_with_status_0(saved));
    EXPECT_TRUE(same_bytes(saved.output, progress("Read", chunk_totals(BIG_IMAGE)) + COMPLETED));
    EXPECT_EQ(output_of("cmp " + at("out.img") + " " + at("in.img") + " && echo same"), "same");
    std::filesystem::remove(at("out.img"));
}

// Past 2^32 sectors the offset passes 2 TiB; on a sparse drive of 3 TiB a Save and a Load
// there reach their own bytes and no others.
TEST_F(Transfer, ASectorPast32BitsReachesItsOwnBytes)
{
    const unsigned long long sector = 0x100000000ull + 5;
    const unsigned long long offset = sector * 512;
    make_sparse(image(0), 3ull << 40);
    std::string around = random_bytes(8192, 45);
    write_at(image(0), offset - 4096, around);
    ASSERT_TRUE(backend->attach_drive(0, image(0)));

    ProgramRun saved = run_to_end({"-S", "0", "out.bin", std::to_string(sector), "1000"});
    EXPECT_TRUE(ended_with_status_0(saved, 1));
    EXPECT_EQ(saved.output, progress("Read", {1000}) + COMPLETED);
    EXPECT_TRUE(same_bytes(read_whole_file(at("out.bin")), around.substr(4096, 1000)));

    std::string file = random_bytes(1000, 46);
    write_whole_file(at("in.bin"), file);
    ProgramRun loaded = run_to_end({"-L", "0", "in.bin", std::to_string(sector)});
    EXPECT_TRUE(ended_with_status_0(loaded, 1));
    EXPECT_EQ(loaded.output, progress("Write", {1000}) + COMPLETED);
    EXPECT_TRUE(same_bytes(read_at(image(0), offset - 4096, 8192),
                           around.substr(0, 4096) + file + around.substr(5096)));
}

// What did arrive is written, never the part of the buffer the read left unfilled, and
// the end of the source is reported instead of success.
TEST_F(Transfer, ASourceThatEndsEarlyGivesWhatItHadAndReportsItsEnd)
{
    std::string drive = random_bytes(3000, 19);
    attach_image(0, drive);
    struct Case {
        std::vector<std::string> arguments;
        std::size_t start;
    };
    const Case cases[] = {{{"-S", "0", "a.bin", "0", "5000"}, 0},
                          {{"-S", "0", "b.bin", "0", "-1"}, 0},
                          {{"-S", "0", "c.bin", "2", "5000"}, 1024},
                          {{"-S", "0", "d.bin", "4294967295"}, 3000},
                          {{"-S", "0", "e.bin", "0", "18446744073709551615"}, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.arguments));
        ProgramRun saved = run_to_end(c.arguments);
        EXPECT_TRUE(ended_with_status_0(saved, 1));
        std::size_t had = drive.size() - c.start;
        EXPECT_EQ(saved.output,
                  (had == 0 ? "" : progress("Read", {had})) + error_report(Failure::EndOfFile));
        EXPECT_TRUE(same_bytes(read_whole_file(at(c.arguments[2])), drive.substr(c.start)));
    }

    std::string file = random_bytes(1000, 20);
    write_whole_file(at("in.bin"), file);
    ProgramRun loaded = run_to_end({"-L", "0", "in.bin", "0", "2000"});
    EXPECT_TRUE(ended_with_status_0(loaded, 1));
    EXPECT_EQ(loaded.output, progress("Write", {1000}) + error_report(Failure::EndOfFile));
    EXPECT_TRUE(same_bytes(read_whole_file(image(0)), file + drive.substr(1000)));
}

// A Load the drive cannot hold, larger than it or reaching past its end from a later
// Sector, is refused as a failed open is; the drive is smaller than one chunk.
TEST_F(Transfer, AFailedOpenOrALoadTheDriveCannotHoldIsReportedAndNothingIsWritten)
{
    std::string drive = random_bytes(4096, 21);
    attach_image(0, drive);
    std::string file = random_bytes(512, 22);
    write_whole_file(at("in.bin"), file);
    write_whole_file(at("big.bin"), random_bytes(3 * CHUNK, 23));
    std::filesystem::create_directory(at("folder"));
    struct Case {
        std::vector<std::string> arguments;
        Failure failure;
    };
    // A folder as the output: it cannot even be probed, so no question comes before the error.
    const Case cases[] = {{{"-L", "0", "missing.bin"}, Failure::NotFound},
                          {{"-S", "1", "out.bin"}, Failure::NotFound},
                          {{"-L", "1", "in.bin"}, Failure::NotFound},
                          {{"-L", "00", "in.bin"}, Failure::NotFound},
                          {{"-S", "0", "folder"}, Failure::IsDirectory},
                          {{"-L", "0", "big.bin"}, Failure::DiskFull},
                          {{"-L", "0", "in.bin", "8"}, Failure::DiskFull}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.arguments));
        ProgramRun shown = run_to_end(c.arguments);
        EXPECT_TRUE(ended_with_status_0(shown, 1));
        EXPECT_EQ(shown.output, error_report(c.failure));
    }
    EXPECT_FALSE(std::filesystem::exists(at("out.bin")));
    EXPECT_FALSE(std::filesystem::exists(at("missing.bin")));
    EXPECT_TRUE(same_bytes(read_whole_file(at("in.bin")), file));
    EXPECT_TRUE(same_bytes(read_whole_file(image(0)), drive));
}

// A device that cannot store most of what it is given: a loop device over a sparse image
// on a file system with room for exactly one chunk, so that the device refuses the next
// write whole (ENOSPC) rather than in part (which it reports as EIO). Where drive writes
// go past the cache, the write that does not fit fails itself; where the cache takes every
// write, only the flush learns that most of the bytes never arrived. Either way the run
// must not claim success.
TEST_F(Transfer, ALoadWhoseBytesTheDeviceCannotStoreEndsInAnErrorNotInSuccess)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "mounting a file system and attaching a loop device need root";
    SmallFileSystem small;
    small.dir = at("small");
    std::filesystem::create_directory(small.dir);
    if (!small.mount_sized("1000k"))
        GTEST_SKIP() << "cannot mount a tmpfs here";
    std::string image = small.dir + "/disk.img";
    write_whole_file(image, "");
    ASSERT_EQ(truncate(image.c_str(), 8 * 1024 * 1024), 0);
    LoopDevice loop(image);
    if (loop.device.empty())
        GTEST_SKIP() << "no loop device could be attached";
    ASSERT_TRUE(is_loop_over(loop, image)) << loop.device;
    ASSERT_TRUE(backend->attach_drive(0, loop.device));
    write_whole_file(at("in.bin"), random_bytes(4 * CHUNK, 26));

    ASSERT_TRUE(is_loop_over(loop, image));
    ProgramRun loaded = run_to_end({"-L", "0", "in.bin"});
    EXPECT_TRUE(ended_with_status_0(loaded, 1));
    if (backend->supports(Feature::UncachedDriveWrites))
        EXPECT_EQ(loaded.output, progress("Write", {CHUNK}) + error_report(Failure::DiskFull));
    else
        EXPECT_EQ(loaded.output, progress("Write", {CHUNK, 2 * CHUNK, 3 * CHUNK, 4 * CHUNK}) +
                                     error_report(Failure::WriteBackFailed));
}

// A drive whose store fills at the third chunk: an image on a file system with room for
// the chunk it holds, the next one and a few pages, so the third is written in part. The
// Load fails there, and the first chunk, where the partition table lies, is as it was.
TEST_F(Transfer, ALoadThatFailsLeavesTheFirstChunkOfTheDriveAsItWas)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "mounting a file system needs root";
    SmallFileSystem small;
    small.dir = at("small");
    std::filesystem::create_directory(small.dir);
    if (!small.mount_sized("2040k"))
        GTEST_SKIP() << "cannot mount a tmpfs here";
    std::string drive = small.dir + "/drive.img";
    std::string first = random_bytes(CHUNK, 27);
    make_sparse(drive, 4 * CHUNK);
    write_at(drive, 0, first);
    ASSERT_TRUE(backend->attach_drive(0, drive));
    std::string file = random_bytes(4 * CHUNK, 28);
    write_whole_file(at("in.bin"), file);

    ProgramRun loaded = run_to_end({"-L", "0", "in.bin"});
    EXPECT_TRUE(ended_with_status_0(loaded, 1));
    EXPECT_EQ(loaded.output, progress("Write", {CHUNK}) + error_report(Failure::DiskFull));
    EXPECT_TRUE(same_bytes(read_at(drive, 0, CHUNK), first));
    EXPECT_TRUE(same_bytes(read_at(drive, CHUNK, CHUNK), file.substr(CHUNK, CHUNK)));
}

}  // namespace
