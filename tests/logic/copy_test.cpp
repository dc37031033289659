// The chunked copy: chunk sizes, progress, and what a short or failed transfer leaves.
#include "logic_support.h"

#include <cinttypes>

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

// A platform error code with no special meaning to the program.
const DWORD DEVICE_ERROR = 1117;

const std::set<std::string> COPY_OPS = {"ReadFile", "WriteFile", "printf_s"};

class ChunkedCopy : public FakePlatformTest {
protected:
    void SetUp() override
    {
        FakePlatformTest::SetUp();
        drive = pattern_bytes(2 * CHUNK_SIZE + 4096, 21);
        fake_add_object(DRIVE0, drive);
    }

    void save(DWORD length)
    {
        run({"-S", "0", "out.bin", "0", std::to_string(length)});
    }

    // The calls of a copy whose chunks all went through whole, and the completion.
    std::vector<std::string> whole_chunks(const std::string& source, const std::string& destination,
                                          const std::string& verb, std::vector<DWORD> chunks)
    {
        std::vector<std::string> lines;
        DWORD done = 0;
        for (DWORD chunk : chunks) {
            done += chunk;
            lines.push_back("ReadFile " + source + " " + std::to_string(chunk));
            lines.push_back("WriteFile " + destination + " " + std::to_string(chunk));
            lines.push_back("printf_s " + verb + " " + std::to_string(done) + " bytes\r");
        }
        lines.push_back("printf_s " + COMPLETION);
        return lines;
    }

    Bytes drive;
};

TEST_F(ChunkedCopy, ChunksAreWholeButTheLastAndEachIsShownAfterItsWrite)
{
    struct Case {
        DWORD length;
        std::vector<DWORD> chunks;
    };
    for (const Case& c : {Case{512, {512}}, Case{CHUNK_SIZE, {CHUNK_SIZE}},
                          Case{CHUNK_SIZE + 1, {CHUNK_SIZE, 1}},
                          Case{2 * CHUNK_SIZE + 777, {CHUNK_SIZE, CHUNK_SIZE, 777}}}) {
        SCOPED_TRACE(c.length);
        fake_reset();
        fake_add_object(DRIVE0, drive);
        save(c.length);
        EXPECT_THAT(trace(COPY_OPS),
                    ElementsAreArray(whole_chunks(DRIVE0, "out.bin", "Read", c.chunks)));
        EXPECT_EQ(slice(drive, 0, c.length), bytes_of("out.bin"));
        // One block, with room to start the chunk on a page boundary.
        EXPECT_THAT(trace({"malloc"}), ElementsAre("malloc 1028096"));
        for (const char* op : {"ReadFile", "WriteFile"}) {
            for (const FakeCall& call : fake_calls_of(op))
                EXPECT_EQ(0, call.args[3] % 4096) << op << " into a buffer off a page boundary";
        }
    }
}

// The drive is asked about the first chunk where it will go, the sector's start here, with
// the bytes that go there last, before any byte and again right before the chunk is written
// (the fault cases pin the order of the calls around it); the Load leaves the rest of the
// drive alone.
TEST_F(ChunkedCopy, ALoadAsksAboutItsFirstChunkWhereAndAsItWillBeWritten)
{
    Bytes image = pattern_bytes(CHUNK_SIZE + 1, 22);
    fake_add_object("image.bin", image);
    run({"-L", "0", "image.bin", "3"});
    std::vector<FakeCall> asked = fake_calls_of("may_write_at");
    ASSERT_EQ(2u, asked.size());
    long long last_written_from = fake_calls_of("WriteFile").back().args[3];
    for (const FakeCall& call : asked)
        EXPECT_THAT(call.args, ElementsAre(1536, CHUNK_SIZE, last_written_from));
    EXPECT_EQ(0, asked[0].args[2] % 4096);
    EXPECT_EQ("WriteFile", ops_after("may_write_at", 2).at(0));
    // The chunks land where they belong, and the rest of the drive stays as it was.
    const Bytes& after = bytes_of(DRIVE0);
    ASSERT_EQ(drive.size(), after.size());
    std::size_t end = 1536 + image.size();
    EXPECT_EQ(image, slice(after, 1536, image.size()));
    EXPECT_EQ(slice(drive, 0, 1536), slice(after, 0, 1536));
    EXPECT_EQ(slice(drive, end, drive.size() - end), slice(after, end, after.size() - end));
}

// A Load without a Length takes the whole file, past 4 GiB too, and every total is shown
// in full: past 2^31 (2,098 chunks) and past 2^32 (4,195 chunks).
TEST_F(ChunkedCopy, AFilePast4GiBIsCopiedWholeWithEveryTotalInFull)
{
    const unsigned long long size = 4296000000ull;  // 4,195 chunks and 320,000 bytes
    for (const char* name : {"image.bin", DRIVE0.c_str()}) {
        FakeObject& object = fake_add_object(name, {});
        object.hollow = object.has_reported_size = true;
        object.reported_size = size;
    }
    run({"-L", "0", "image.bin"});
    std::vector<FakeCall> reads = fake_calls_of("ReadFile");
    ASSERT_EQ(4196u, reads.size());
    EXPECT_EQ(320000, reads.back().args[0]);
    std::vector<FakeCall> shown = fake_calls_of("printf_s");
    ASSERT_EQ(4197u, shown.size());
    EXPECT_EQ("Write 2148352000 bytes\r", shown[2097].name);
    // The first chunk comes last: the total before it is past 2^32 by 8,704 bytes.
    EXPECT_EQ("Write 4294976000 bytes\r", shown[4194].name);
    EXPECT_EQ("Write 4296000000 bytes\r", shown[4195].name);
    EXPECT_EQ(COMPLETION, shown.back().name);
}

TEST_F(ChunkedCopy, LengthZeroMovesNothing)
{
    fake_add_object("out.bin", {});
    HANDLE source = CreateFileA(DRIVE0.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, NULL);
    HANDLE destination = CreateFileA("out.bin", GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, NULL);
    EXPECT_TRUE(copy_chunks(source, destination, 0, "Read %" PRIu64 " bytes\r"));
    EXPECT_THAT(trace({"malloc", "ReadFile", "WriteFile", "printf_s", "GetLastError"}),
                ElementsAre("malloc 1028096"));
    EXPECT_TRUE(bytes_of("out.bin").empty());
}

TEST_F(ChunkedCopy, AShortReadWritesOnlyWhatArrivedThenReportsTheEnd)
{
    Bytes image = pattern_bytes(3000, 23);
    fake_add_object("image.bin", image);
    run({"-L", "0", "image.bin", "0", "5000"});
    EXPECT_THAT(trace(COPY_OPS), ElementsAre("ReadFile image.bin 5000", "WriteFile " + DRIVE0 + " 3000",
                                             "printf_s Write 3000 bytes\r", "printf_s Error " +
                                                 fake_error_text(ERROR_HANDLE_EOF) + "\n",
                                             "printf_s " + PROMPT));
    EXPECT_EQ(image, slice(bytes_of(DRIVE0), 0, 3000));
    EXPECT_EQ(slice(drive, 3000, drive.size() - 3000),
              slice(bytes_of(DRIVE0), 3000, drive.size() - 3000));
    EXPECT_EQ("Write 3000 bytes\r" + error_report(ERROR_HANDLE_EOF), fake_output());
    expect_ends_with_report(ERROR_HANDLE_EOF);
}

TEST_F(ChunkedCopy, AShortReadInALaterChunkKeepsTheChunksBeforeIt)
{
    fake_short("ReadFile", 2, 100);
    save(2 * CHUNK_SIZE + 777);
    EXPECT_EQ(2u, count_of("ReadFile"));
    EXPECT_EQ(slice(drive, 0, CHUNK_SIZE + 100), bytes_of("out.bin"));
    EXPECT_EQ("Read 1024000 bytes\rRead 1024100 bytes\r" + error_report(ERROR_HANDLE_EOF),
              fake_output());
    expect_ends_with_report(ERROR_HANDLE_EOF);
}

// A Load writes what the source gave, its first chunk too, before it reports the end.
TEST_F(ChunkedCopy, ALoadWhoseSourceEndsInALaterChunkStillWritesItsFirstChunk)
{
    Bytes image = pattern_bytes(CHUNK_SIZE + 100, 24);
    fake_add_object("image.bin", image);
    run({"-L", "0", "image.bin", "0", std::to_string(2 * CHUNK_SIZE)});
    EXPECT_EQ(image, slice(bytes_of(DRIVE0), 0, image.size()));
    EXPECT_EQ("Write 100 bytes\rWrite 1024100 bytes\r" + error_report(ERROR_HANDLE_EOF),
              fake_output());
    expect_ends_with_report(ERROR_HANDLE_EOF);
}

TEST_F(ChunkedCopy, AReadOfNothingWritesNothing)
{
    // Sector 10,000 lies past the end of the drive.
    run({"-S", "0", "out.bin", "10000"});
    EXPECT_EQ(0u, count_of("WriteFile"));
    EXPECT_TRUE(bytes_of("out.bin").empty());
    EXPECT_EQ(error_report(ERROR_HANDLE_EOF), fake_output());
    expect_ends_with_report(ERROR_HANDLE_EOF);
}

TEST_F(ChunkedCopy, AShortWriteIsReportedAsAFullDisk)
{
    fake_short("WriteFile", 2, 100);
    save(2 * CHUNK_SIZE);
    EXPECT_EQ(2u, count_of("ReadFile"));
    EXPECT_EQ("Read 1024000 bytes\r" + error_report(ERROR_HANDLE_DISK_FULL), fake_output());
    expect_ends_with_report(ERROR_HANDLE_DISK_FULL);
}

TEST_F(ChunkedCopy, AFailedReadOrWriteInALaterChunkKeepsTheChunksBeforeIt)
{
    for (const char* op : {"ReadFile", "WriteFile"}) {
        SCOPED_TRACE(op);
        fake_reset();
        fake_add_object(DRIVE0, drive);
        fake_fail(op, 2, DEVICE_ERROR);
        save(2 * CHUNK_SIZE + 777);
        EXPECT_EQ(2u, count_of(op));
        EXPECT_EQ(slice(drive, 0, CHUNK_SIZE), bytes_of("out.bin"));
        EXPECT_EQ("Read 1024000 bytes\r" + error_report(DEVICE_ERROR), fake_output());
    }
}

TEST_F(ChunkedCopy, AFailedAllocationIsReportedBeforeAnyRead)
{
    fake_fail("malloc", 1, 0);
    save(512);
    EXPECT_EQ(0u, count_of("ReadFile"));
    EXPECT_EQ(error_report(ERROR_NOT_ENOUGH_MEMORY), fake_output());
    expect_ends_with_report(ERROR_NOT_ENOUGH_MEMORY);
}

// Whole cards on a disk under Windows' rules for raw writes, as the platform in memory
// models them: a mounted volume refuses writes, and a table written into sector 0 mounts
// the partitions it describes.
class WindowsRawWrites : public FakePlatformTest {
protected:
    static constexpr std::size_t MIB = 1024 * 1024;

    // `disk` with a master boot record's table of `partitions`, each a first sector and a
    // count of sectors.
    static Bytes with_table(Bytes disk, std::vector<std::pair<unsigned, unsigned>> partitions)
    {
        std::fill(&disk[446], &disk[510], 0);
        for (std::size_t entry = 0; entry < partitions.size(); ++entry) {
            unsigned char* row = &disk[446 + 16 * entry];
            row[4] = 0x0C;  // FAT32
            for (int at = 0; at < 4; ++at) {
                row[8 + at] = static_cast<unsigned char>(partitions[entry].first >> (8 * at));
                row[12 + at] = static_cast<unsigned char>(partitions[entry].second >> (8 * at));
            }
        }
        disk[510] = 0x55;
        disk[511] = 0xAA;
        return disk;
    }

    static FakeObject& windows_disk(const Bytes& bytes, std::vector<FakeVolume> volumes)
    {
        FakeObject& disk = fake_add_object(DRIVE0, bytes);
        disk.windows_disk = true;
        disk.volumes = volumes;
        return disk;
    }

    // A card image of 4 MiB (four chunks and part of a fifth) with two partitions, 1 MiB
    // to 2 MiB and 2 MiB to 4 MiB: the second chunk reaches into the first partition.
    void SetUp() override
    {
        FakePlatformTest::SetUp();
        image = with_table(pattern_bytes(4 * MIB, 30), {{2048, 2048}, {4096, 4096}});
        fake_add_object("card.img", image);
    }

    Bytes image;
};

// Refused before any byte: a Load into a mounted volume, one of several chunks that ends
// inside a sector, and one larger than the card.
TEST_F(WindowsRawWrites, ACardRefusesALoadItCannotTakeAndKeepsEveryByte)
{
    Bytes card = with_table(pattern_bytes(4 * MIB, 31), {{2048, 6144}});
    struct Case {
        std::size_t size;
        std::vector<FakeVolume> volumes;
        DWORD refusal;
    };
    for (const Case& c : {Case{4 * MIB, {{MIB, 4 * MIB, true}}, ERROR_ACCESS_DENIED},
                          Case{2 * CHUNK_SIZE + 100, {}, ERROR_INVALID_PARAMETER},
                          Case{4 * MIB + 512, {}, ERROR_HANDLE_DISK_FULL}}) {
        SCOPED_TRACE(c.refusal);
        fake_reset();
        windows_disk(card, c.volumes);
        fake_add_object("card.img", c.size == image.size() ? image : pattern_bytes(c.size, 35));
        run({"-L", "0", "card.img"});
        EXPECT_EQ(error_report(c.refusal), fake_output());
        EXPECT_EQ(card, bytes_of(DRIVE0));
    }
}

TEST_F(WindowsRawWrites, ACardWithoutAMountedVolumeTakesTheWholeImageAndMountsItsTableLast)
{
    Bytes card = pattern_bytes(4 * MIB, 32);
    windows_disk(card, {});
    run({"-L", "0", "card.img"});
    EXPECT_THAT(fake_output(), ::testing::EndsWith("Write 4194304 bytes\r" + COMPLETION));
    EXPECT_EQ(image, bytes_of(DRIVE0));
    const std::vector<FakeVolume>& mounted = fake_object(DRIVE0).volumes;
    ASSERT_EQ(2u, mounted.size());
    EXPECT_EQ(MIB, mounted[0].begin);
    EXPECT_EQ(4 * MIB, mounted[1].end);

    // Written in order, the table goes first and closes its partitions to what follows.
    fake_reset();
    windows_disk(card, {});
    fake_add_object("card.img", image);
    HANDLE file = open_existing_shared("card.img");
    HANDLE drive = open_existing_shared(DRIVE0.c_str());
    EXPECT_FALSE(copy_chunks(file, drive, image.size(), "Write %" PRIu64 " bytes\r"));
    EXPECT_EQ("Write 1024000 bytes\r" + error_report(ERROR_ACCESS_DENIED), fake_output());
    EXPECT_EQ(slice(image, 0, CHUNK_SIZE), slice(bytes_of(DRIVE0), 0, CHUNK_SIZE));
    EXPECT_EQ(slice(card, CHUNK_SIZE, card.size() - CHUNK_SIZE),
              slice(bytes_of(DRIVE0), CHUNK_SIZE, card.size() - CHUNK_SIZE));
}

// Windows fails a read that reaches past the card's end whole; a Save past it still stores
// every byte the card holds, then reports the end, on either sector size.
TEST_F(WindowsRawWrites, ASavePastTheEndStoresAllTheCardHoldsThenReportsTheEnd)
{
    for (unsigned sector_size : {512u, 4096u}) {
        SCOPED_TRACE(sector_size);
        fake_reset();
        Bytes card = pattern_bytes(2 * CHUNK_SIZE + 4096, 36);
        windows_disk(card, {}).sector_size = sector_size;
        run({"-S", "0", "out.bin", "0", std::to_string(3 * CHUNK_SIZE)});
        EXPECT_EQ(card, bytes_of("out.bin"));
        EXPECT_EQ("Read 1024000 bytes\rRead 2048000 bytes\rRead 2052096 bytes\r" +
                      error_report(ERROR_HANDLE_EOF),
                  fake_output());
    }
}

// The system disk given by a wrong number, its first volume at 3 MiB: two chunks land in
// the gap before it and the next is refused, so the table that places the volume stays.
TEST_F(WindowsRawWrites, TheSystemDiskByAWrongNumberKeepsItsFirstChunk)
{
    Bytes system = with_table(pattern_bytes(16 * MIB, 33), {{6144, 26624}});
    windows_disk(system, {{3 * MIB, 16 * MIB, true}});
    run({"-L", "0", "card.img"});
    EXPECT_EQ("Write 1024000 bytes\rWrite 2048000 bytes\r" + error_report(ERROR_ACCESS_DENIED),
              fake_output());
    const Bytes& after = bytes_of(DRIVE0);
    EXPECT_EQ(slice(system, 0, CHUNK_SIZE), slice(after, 0, CHUNK_SIZE));
    EXPECT_EQ(slice(image, CHUNK_SIZE, 2 * CHUNK_SIZE), slice(after, CHUNK_SIZE, 2 * CHUNK_SIZE));
    EXPECT_EQ(slice(system, 3 * CHUNK_SIZE, system.size() - 3 * CHUNK_SIZE),
              slice(after, 3 * CHUNK_SIZE, after.size() - 3 * CHUNK_SIZE));
}

}  // namespace
