// The program on real block devices: loop devices over image files that these tests attach
// and detach themselves. The shipped program only ever reads here, and only after the drive
// number has been checked, right before the run, to reach the loop device over this test's
// image. Writes go through the test build, whose drive tree can reach nothing but that
// loop device. Without root or loop devices the cases skip.
#include "end_to_end.h"
#include "loop_device.h"

#include "drives/drive_list.h"
#include "platform/posix/api.h"
#include "platform/posix/guard/disk_usage.h"
#include "platform/posix/drives.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A file system mounted for the length of a test, unmounted on every path out. Read-only,
// so that the file system itself changes none of the bytes the test compares; a mount is
// in use either way.
struct Mount {
    std::string mount_point;  // "" when the mount failed
    int error = 0;

    Mount(const std::string& node, const std::string& type, const std::string& at)
    {
        std::filesystem::create_directories(at);
        if (mount(node.c_str(), at.c_str(), type.c_str(), MS_RDONLY, nullptr) == 0)
            mount_point = at;
        else
            error = errno;
    }
    ~Mount()
    {
        if (!mount_point.empty() && umount2(mount_point.c_str(), 0) != 0)
            ADD_FAILURE() << "could not unmount " << mount_point;
    }
    Mount(const Mount&) = delete;
    Mount& operator=(const Mount&) = delete;
};

// The drive number under which the shipped program reaches `device`, or -1.
int shipped_drive_number_of(const std::string& device)
{
    for (int number = 0;; ++number) {
        std::string name = "\\\\.\\physicaldrive" + std::to_string(number);
        char path[4096];
        if (!resolve_physical_drive(name.c_str(), VORLENT_SYS_BLOCK_ROOT, VORLENT_DEV_ROOT, path,
                                    sizeof path))
            return -1;
        if (device == path)
            return number;
    }
}

class LoopDevices : public EndToEnd {
protected:
    LoopDevices() { backend = linux_backend(); }

    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "attaching loop devices needs root";
        if (output_of("command -v losetup").empty())
            GTEST_SKIP() << "no losetup";
        EndToEnd::SetUp();
    }

    // Attaches a loop device over an image of `bytes`; the caller skips when it is empty.
    std::string loop_image(const std::string& bytes)
    {
        write_whole_file(at("loop.img"), bytes);
        return at("loop.img");
    }

    // Loads three chunks onto drive 0, `loop`, from its start, where the third would reach
    // a part in use: the second goes in, the third is refused whole, also its bytes before
    // that part, and the first, written last, never. `disk` is what the drive holds before,
    // and is made what it holds after.
    void expect_third_chunk_refused(const LoopDevice& loop, unsigned seed, std::string* disk)
    {
        // With the drive's own partition table, which may place parts in use.
        std::string file = random_bytes(3 * CHUNK, seed).replace(446, 66, disk->substr(446, 66));
        write_whole_file(at("in.bin"), file);
        ASSERT_TRUE(is_loop_over(loop, at("loop.img")));
        ProgramRun loaded = run_to_end({"-L", "0", "in.bin"});
        EXPECT_TRUE(ended_with_status_0(loaded, 1));
        EXPECT_EQ(loaded.output, progress("Write", {CHUNK}) + BUSY);
        disk->replace(CHUNK, CHUNK, file.substr(CHUNK, CHUNK));
        EXPECT_TRUE(same_bytes(read_whole_file(loop.device), *disk));
    }

    // A Save from drive 0 whose File is the block device `node`, replacing it when asked,
    // is refused before a byte reaches it.
    void expect_save_into_refused(const std::string& node)
    {
        ProgramRun saved =
            run({"-S", "0", node}, {{overwrite_question(node), "1"}, {PRESS_ANY_KEY, "k"}});
        EXPECT_TRUE(ended_with_status_0(saved, 2));
        EXPECT_EQ(saved.output, overwrite_question(node) + BUSY);
    }

    // On drive 0, `loop`, whose partition table places a partition in use: a card image with
    // another table is refused before any byte is written, also one that keeps the drive's
    // first `kept` bytes; boot code, and a boot sector with the table the drive holds, are
    // written. `disk` is what the drive holds before, and is made what it holds after.
    void expect_only_the_table_kept(const LoopDevice& loop, unsigned seed, std::size_t kept,
                                    std::string* disk)
    {
        const std::string card = random_bytes(2 * CHUNK, seed).replace(0, kept, *disk, 0, kept);
        const std::string boot_code = random_bytes(446, seed + 1);
        const std::string boot_sector = random_bytes(446, seed + 2) + disk->substr(446, 66);
        for (const std::string* file : {&card, &boot_code, &boot_sector}) {
            bool written = file != &card;
            write_whole_file(at("in.bin"), *file);
            ASSERT_TRUE(is_loop_over(loop, at("loop.img")));
            ProgramRun loaded = run_to_end({"-L", "0", "in.bin"});
            EXPECT_TRUE(ended_with_status_0(loaded, 1));
            EXPECT_EQ(loaded.output,
                      written ? progress("Write", {file->size()}) + COMPLETED : BUSY);
            if (written)
                disk->replace(0, file->size(), *file);
            EXPECT_TRUE(same_bytes(read_whole_file(loop.device), *disk));
        }
    }

    // Loads `file` onto drive 0, `loop` over `image`, at `sector`: written, or refused before
    // any byte is. `disk` is what the drive holds before, and is made what it holds after.
    void expect_load_at(const LoopDevice& loop, const std::string& image, std::uint64_t sector,
                        const std::string& file, bool written, std::string* disk);

    const std::string BUSY = "Error Device or resource busy\n\n" + PRESS_ANY_KEY;
};

#define REQUIRE_LOOP(loop)                                                  \
    do {                                                                    \
        if ((loop).device.empty())                                          \
            GTEST_SKIP() << "no loop device could be attached";             \
        ASSERT_TRUE(is_loop_over((loop), at("loop.img"))) << (loop).device; \
    } while (0)

TEST_F(LoopDevices, TheShippedProgramSavesFromTheLoopDeviceItsNumberNames)
{
    std::string bytes = random_bytes(2 * 1024 * 1024, 40);
    LoopDevice loop(loop_image(bytes));
    REQUIRE_LOOP(loop);
    int number = shipped_drive_number_of(loop.device);
    ASSERT_GE(number, 0) << loop.device << " has no drive number";

    HANDLE device = CreateFileA(loop.device.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    DWORD high = 99;
    EXPECT_EQ(GetFileSize(device, &high), bytes.size());  // a block device's size is its end
    EXPECT_EQ(high, 0u);
    CloseHandle(device);

    struct Case {
        std::vector<std::string> arguments;
        std::size_t start, length;
    };
    std::string drive = std::to_string(number);
    const Case cases[] = {{{"-S", drive, "a.bin"}, 0, 512},
                          {{"-S", drive, "b.bin", "0", "3000"}, 0, 3000},
                          {{"-S", drive, "c.bin", "2", "1000"}, 1024, 1000}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.arguments));
        // Another device may have come or gone since: the number must still name ours.
        ASSERT_TRUE(is_loop_over(loop, at("loop.img")));
        ASSERT_EQ(shipped_drive_number_of(loop.device), number);
        std::vector<std::string> command = {VORLENT_SHIPPED_PROGRAM};
        command.insert(command.end(), c.arguments.begin(), c.arguments.end());
        ProgramRun saved = run_with_input(command, work.path, nullptr);
        EXPECT_TRUE(ended_with_status_0(saved));
        EXPECT_EQ(saved.output, progress("Read", {c.length}) + COMPLETED);
        EXPECT_TRUE(
            same_bytes(read_whole_file(at(c.arguments[2])), bytes.substr(c.start, c.length)));
    }
    EXPECT_TRUE(same_bytes(read_whole_file(at("loop.img")), bytes));
}

TEST_F(LoopDevices, LoadWritesOnlyTheLengthOntoTheDevice)
{
    std::string bytes = random_bytes(2 * 1024 * 1024, 41);
    LoopDevice loop(loop_image(bytes));
    REQUIRE_LOOP(loop);
    ASSERT_TRUE(backend->attach_drive(0, loop.device));
    std::string file = random_bytes(CHUNK + 1000, 42);
    write_whole_file(at("in.bin"), file);

    ASSERT_TRUE(is_loop_over(loop, at("loop.img")));
    ProgramRun loaded = run_to_end({"-L", "0", "in.bin", "1"});
    EXPECT_TRUE(ended_with_status_0(loaded, 1));
    EXPECT_EQ(loaded.output, progress("Write", {1000, CHUNK + 1000}) + COMPLETED);
    // The device's last close has written it through to the image.
    EXPECT_TRUE(same_bytes(read_whole_file(at("loop.img")),
                           bytes.substr(0, 512) + file + bytes.substr(512 + file.size())));
}

// A drive is read and written past the cache in whole logical blocks and through it
// where a transfer starts or ends inside one; on either sector size the bytes asked for
// land where they belong, and the bytes around them stay.
class LoopSectorSizes : public LoopDevices, public ::testing::WithParamInterface<unsigned> {};

TEST_P(LoopSectorSizes, PartialBlocksKeepTheBytesAroundThem)
{
    std::string bytes = random_bytes(4 * 1024 * 1024, 50);
    LoopDevice loop(loop_image(bytes), false, GetParam());
    REQUIRE_LOOP(loop);
    ASSERT_EQ(read_whole_file("/sys/block/" + loop.name + "/queue/logical_block_size"),
              std::to_string(GetParam()) + "\n");
    ASSERT_TRUE(backend->attach_drive(0, loop.device));

    struct Case {
        const char* key;
        unsigned sector;
        std::size_t length;
    };
    const Case cases[] = {{"-S", 0, 512},
                          {"-S", 3, 1000},
                          {"-L", 0, 446},
                          {"-L", 9, 2 * CHUNK + 1234},
                          {"-L", 8, CHUNK + 1234}};
    std::string file = random_bytes(2 * CHUNK + 1234, 51);
    for (const Case& c : cases) {
        std::string sector = std::to_string(c.sector), length = std::to_string(c.length);
        SCOPED_TRACE(std::string(c.key) + " at sector " + sector + ", " + length + " bytes");
        bool load = c.key[1] == 'L';
        std::string name = (load ? "in" : "out") + sector + ".bin";
        if (load)
            write_whole_file(at(name), file.substr(0, c.length));
        ASSERT_TRUE(is_loop_over(loop, at("loop.img")));
        ProgramRun run = run_to_end({c.key, "0", name, sector, length});
        EXPECT_TRUE(ended_with_status_0(run, 1));
        // A Load of more than a chunk writes its first chunk last.
        std::size_t first = load && c.length > CHUNK ? CHUNK : 0;
        std::vector<unsigned long long> totals;
        for (std::size_t done = first; done < c.length;)
            totals.push_back((done = std::min(done + CHUNK, c.length)) - first);
        if (first > 0)
            totals.push_back(c.length);
        EXPECT_EQ(run.output, progress(load ? "Write" : "Read", totals) + COMPLETED);
        if (load)
            bytes.replace(c.sector * 512, c.length, file.substr(0, c.length));
        else
            EXPECT_TRUE(
                same_bytes(read_whole_file(at(name)), bytes.substr(c.sector * 512, c.length)));
        // The flush has stored every byte in the image behind the device.
        EXPECT_TRUE(same_bytes(read_whole_file(at("loop.img")), bytes));
    }
}

INSTANTIATE_TEST_SUITE_P(, LoopSectorSizes, ::testing::Values(512u, 4096u));

// A device cannot grow as an image file would: a Load past its end, less than a chunk
// past its first, is refused before any byte.
TEST_F(LoopDevices, LoadPastTheEndOfTheDeviceReportsItFull)
{
    std::string bytes = random_bytes(1024 * 1024, 43);
    LoopDevice loop(loop_image(bytes));
    REQUIRE_LOOP(loop);
    ASSERT_TRUE(backend->attach_drive(0, loop.device));
    std::string file = random_bytes(1536 * 1024, 44);
    write_whole_file(at("in.bin"), file);

    ASSERT_TRUE(is_loop_over(loop, at("loop.img")));
    ProgramRun loaded = run_to_end({"-L", "0", "in.bin"});
    EXPECT_TRUE(ended_with_status_0(loaded, 1));
    EXPECT_EQ(loaded.output, error_report(Failure::DiskFull));
    EXPECT_TRUE(same_bytes(read_whole_file(at("loop.img")), bytes));
}

// A Save that would start past the end is refused before its file is looked at, so an
// existing one is neither asked about nor replaced.
TEST_F(LoopDevices, SavePastTheEndOfTheDeviceGivesWhatItHadAndReportsItsEnd)
{
    std::string bytes = random_bytes(1024 * 1024, 45);
    LoopDevice loop(loop_image(bytes));
    REQUIRE_LOOP(loop);
    ASSERT_TRUE(backend->attach_drive(0, loop.device));

    ASSERT_TRUE(is_loop_over(loop, at("loop.img")));
    ProgramRun saved = run_to_end({"-S", "0", "out.bin", "0", "2000000"});
    EXPECT_TRUE(ended_with_status_0(saved, 1));
    EXPECT_EQ(saved.output,
              progress("Read", {CHUNK, bytes.size()}) + error_report(Failure::EndOfFile));
    EXPECT_TRUE(same_bytes(read_whole_file(at("out.bin")), bytes));

    ProgramRun refused = run_to_end({"-S", "0", "out.bin", std::to_string(bytes.size() / 512 + 1)});
    EXPECT_TRUE(ended_with_status_0(refused, 1));
    EXPECT_EQ(refused.output, error_report(Failure::InvalidParameter));
    EXPECT_TRUE(same_bytes(read_whole_file(at("out.bin")), bytes));
}

// A pipe as the source (`vorlent -L 0 <(printf abc) 0 512`): its end comes when its writer
// is done, and the run writes what came and reports the end, as of a short file.
TEST_F(LoopDevices, LoadFromAPipeWritesWhatCameAndReportsItsEnd)
{
    std::string bytes = random_bytes(1024 * 1024, 49);
    LoopDevice loop(loop_image(bytes));
    REQUIRE_LOOP(loop);
    ASSERT_TRUE(backend->attach_drive(0, loop.device));
    std::vector<std::string> command = {"/bin/sh", "-c", "printf abc | exec \"$@\"", "sh"};
    std::vector<std::string> program = backend->command({"-L", "0", "/dev/stdin", "0", "512"});
    command.insert(command.end(), program.begin(), program.end());

    ASSERT_TRUE(is_loop_over(loop, at("loop.img")));
    ProgramRun loaded = run_with_input(command, work.path, nullptr);
    EXPECT_TRUE(ended_with_status_0(loaded));
    EXPECT_EQ(loaded.output, progress("Write", {3}) + error_report(Failure::EndOfFile));
    EXPECT_TRUE(same_bytes(read_whole_file(loop.device), "abc" + bytes.substr(3)));
}

// Output into a pipe nobody reads any more (`vorlent -L 0 in.bin 100 | true`): the progress
// is lost, but the run still writes every chunk and ends with status 0.
TEST_F(LoopDevices, ALoadWhoseOutputPipeIsClosedStillWritesEveryChunk)
{
    std::string bytes = random_bytes(4 * 1024 * 1024, 50);
    LoopDevice loop(loop_image(bytes));
    REQUIRE_LOOP(loop);
    ASSERT_TRUE(backend->attach_drive(0, loop.device));
    std::string file = random_bytes(3 * CHUNK, 51);
    write_whole_file(at("in.bin"), file);

    ASSERT_TRUE(is_loop_over(loop, at("loop.img")));
    ProgramRun loaded = run_with_input(backend->command({"-L", "0", "in.bin", "100"}),
                                       work.path, nullptr, {}, true);
    EXPECT_TRUE(ended_with_status_0(loaded));
    EXPECT_TRUE(same_bytes(read_whole_file(at("loop.img")),
                           bytes.substr(0, 51200) + file + bytes.substr(51200 + file.size())));
}

// 8 MiB with partition 1 at sectors 2048-4095 and partition 2 at 4096-12287, written by
// hand in the master boot record's table.
std::string partitioned_disk(unsigned seed)
{
    std::string bytes = random_bytes(8 * 1024 * 1024, seed);
    const unsigned TABLE[][2] = {{2048, 2048}, {4096, 8192}};
    for (int entry = 0; entry < 2; ++entry) {
        std::string row(16, '\0');
        row[4] = static_cast<char>(0x83);
        for (int at = 0; at < 4; ++at) {
            row[8 + at] = static_cast<char>((TABLE[entry][0] >> (8 * at)) & 0xFF);
            row[12 + at] = static_cast<char>((TABLE[entry][1] >> (8 * at)) & 0xFF);
        }
        bytes.replace(446 + 16 * entry, 16, row);
    }
    bytes.replace(446 + 2 * 16, 2 * 16, std::string(2 * 16, '\0'));  // the unused entries
    bytes[510] = 0x55;
    bytes[511] = static_cast<char>(0xAA);
    return bytes;
}

// Shows partition `number` of `loop` in the test build's tree as <prefix><number> under the
// entry `disk` (sda<number> under sda, for `loop` attached as drive 0), found by its number
// too, with its node at <dev>/<prefix><number>: without udev no node appears for it.
// Returns that node.
std::string show_partition(const LoopDevice& loop, int number, const std::string& disk = "sda",
                           const std::string& prefix = "sda")
{
    std::string name = prefix + std::to_string(number);
    std::string entry = std::string(VORLENT_E2E_DRIVES) + "/sys/block/" + disk + "/" + name;
    std::filesystem::create_directories(entry);
    for (const char* field : {"partition", "start", "size", "dev"})
        write_whole_file(entry + "/" + field,
                         read_whole_file(loop.partition_entry(number) + "/" + field));
    std::string drives = VORLENT_E2E_DRIVES;
    std::string node = drives + "/dev/" + name;
    std::string numbers = make_partition_node(loop, number, node);
    if (numbers.empty() || symlink(("../../block/" + disk + "/" + name).c_str(),
                                   (drives + "/sys/dev/block/" + numbers).c_str()) != 0)
        return "";
    return node;
}

// The roots under which the test build of the program looks.
SystemRoots e2e_roots()
{
    static const std::string drives = VORLENT_E2E_DRIVES, sys_block = drives + "/sys/block",
                             sys_dev_block = drives + "/sys/dev/block", dev = drives + "/dev";
    return {sys_block.c_str(), sys_dev_block.c_str(), dev.c_str(), "/proc/self/mountinfo",
            "/proc/swaps"};
}

// Makes `loop`, over a partitioned_disk, drive 0 with both its partitions shown. Returns
// partition 2's node, or "" when that could not be done.
std::string attach_partitioned_drive(Backend* backend, const LoopDevice& loop)
{
    if (!backend->attach_drive(0, loop.device) || show_partition(loop, 1).empty())
        return "";
    return show_partition(loop, 2);
}

#define REQUIRE_PARTITIONS(loop)                                                  \
    do {                                                                          \
        REQUIRE_LOOP(loop);                                                       \
        if (!std::filesystem::exists((loop).partition_entry(2)))                  \
            GTEST_SKIP() << "the kernel shows no partitions of loop devices";     \
    } while (0)

// Makes `loop` drive 0 as attach_partitioned_drive does, with an ext4 on partition 2, node
// `part2`, mounted as `mounted` for the rest of the scope; skips where that cannot be done.
#define MOUNT_EXT4_ON_PARTITION_2(loop, part2, mounted)                                  \
    REQUIRE_PARTITIONS(loop);                                                            \
    if (output_of("command -v mkfs.ext4").empty())                                       \
        GTEST_SKIP() << "no mkfs.ext4";                                                  \
    std::string part2 = attach_partitioned_drive(backend, loop);                         \
    ASSERT_NE(part2, "");                                                                \
    ASSERT_EQ(std::system(("mkfs.ext4 -q -F " + part2 + " >/dev/null 2>&1").c_str()), 0); \
    Mount mounted(part2, "ext4", at("mnt"));                                             \
    if (mounted.mount_point.empty())                                                     \
        GTEST_SKIP() << "cannot mount ext4 here: " << std::strerror(mounted.error)

// Copies what the kernel shows of the loop device `loop` into the test build's tree entry
// `entry`, where the program's guard finds what it is over.
void copy_loop_entry(const LoopDevice& loop, const std::string& entry)
{
    std::filesystem::create_directories(entry + "/loop");
    for (const char* field : {"dev", "loop/backing_file", "loop/offset", "loop/sizelimit"})
        write_whole_file(entry + "/" + field,
                         read_whole_file("/sys/block/" + loop.name + "/" + field));
}

// The disk as it is now, read through the loop device itself, as the runs write it: first
// dropping what its cache kept from before a file system was made over it.
std::string disk_now(const LoopDevice& loop)
{
    int flushed = open(loop.device.c_str(), O_RDONLY | O_CLOEXEC);
    if (flushed < 0 || ioctl(flushed, BLKFLSBUF, 0) != 0)
        ADD_FAILURE() << "could not drop the cache of " << loop.device;
    if (flushed >= 0)
        close(flushed);
    return read_whole_file(loop.device);
}

// A disk whose second partition holds a mounted file system, as the disk a user runs
// from: its boot sector and its other partition take a Load, the mounted one takes none,
// and neither does its node given as the file of a Save.
TEST_F(LoopDevices, LoadIsRefusedWhereItWouldReachAMountedPartitionAndNowhereElse)
{
    std::string bytes = partitioned_disk(46);
    LoopDevice loop(loop_image(bytes), true);
    MOUNT_EXT4_ON_PARTITION_2(loop, part2, mounted);
    std::string disk = disk_now(loop);
    ASSERT_EQ(disk.size(), bytes.size());

    expect_only_the_table_kept(loop, 47, 0, &disk);

    // The second chunk goes into partition 1; the third would reach partition 2.
    expect_third_chunk_refused(loop, 48, &disk);

    ASSERT_TRUE(is_loop_over(loop, at("loop.img")));
    expect_save_into_refused(part2);
    EXPECT_TRUE(same_bytes(read_whole_file(loop.device), disk));

    // A Save into partition 1's node that runs past its end fills it and meets that end, as
    // with nothing in use: the mounted partition after it is out of the write's reach.
    const std::string source = random_bytes(2 * CHUNK, 55);
    attach_image(1, source);
    const std::string part1 = std::string(VORLENT_E2E_DRIVES) + "/dev/sda1";
    ASSERT_TRUE(is_loop_over(loop, at("loop.img")));
    ProgramRun filled = run({"-S", "1", part1, "0", std::to_string(source.size())},
                            {{overwrite_question(part1), "1"}, {PRESS_ANY_KEY, "k"}});
    EXPECT_TRUE(ended_with_status_0(filled, 2));
    EXPECT_EQ(filled.output, overwrite_question(part1) + progress("Read", {CHUNK}) +
                                 error_report(Failure::DiskFull));
    disk.replace(2048 * 512, 2048 * 512, source, 0, 2048 * 512);
    EXPECT_TRUE(same_bytes(disk_now(loop), disk));
}

// Another program holding the whole disk exclusively, of which neither the mount table nor
// /sys knows: the kernel then keeps every partition busy too, so none of them says what is
// held, and the whole disk is kept from writes.
TEST_F(LoopDevices, ADiskHeldWholeByAnotherProgramTakesNoLoad)
{
    std::string bytes = partitioned_disk(49);
    LoopDevice loop(loop_image(bytes), true);
    REQUIRE_PARTITIONS(loop);
    ASSERT_NE(attach_partitioned_drive(backend, loop), "");
    int holder = open(loop.device.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
    ASSERT_GE(holder, 0) << std::strerror(errno);

    // What vorlent-drives shows of it, asking the kernel about the disk alone.
    std::vector<PartUse> listed = read_disk_usage(loop.name, system_roots(), false);
    ASSERT_FALSE(listed.empty());
    EXPECT_TRUE(listed[0].busy);

    std::string boot = random_bytes(512, 50);
    write_whole_file(at("boot.bin"), boot);
    ASSERT_TRUE(is_loop_over(loop, at("loop.img")));
    ProgramRun refused = run_to_end({"-L", "0", "boot.bin"});
    EXPECT_TRUE(ended_with_status_0(refused, 1));
    EXPECT_EQ(refused.output, BUSY);
    EXPECT_TRUE(same_bytes(read_whole_file(loop.device), bytes));
    close(holder);
}

// A partition held exclusively by another program, with no node where the program looks
// for one and nothing in the mount table: the kernel is asked about it all the same, so it
// takes no Load, while the free partition beside it does.
TEST_F(LoopDevices, APartitionHeldWithoutANodeInDevTakesNoLoad)
{
    std::string bytes = partitioned_disk(64);
    LoopDevice loop(loop_image(bytes), true);
    REQUIRE_PARTITIONS(loop);
    std::string part2 = attach_partitioned_drive(backend, loop);
    ASSERT_NE(part2, "");
    int holder = open(part2.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
    ASSERT_GE(holder, 0) << std::strerror(errno);
    ASSERT_EQ(unlink(part2.c_str()), 0);

    std::string disk = bytes;
    expect_load_at(loop, at("loop.img"), 4096, random_bytes(512, 65), false, &disk);
    expect_load_at(loop, at("loop.img"), 2048, random_bytes(512, 66), true, &disk);
    close(holder);
}

// A Load from a pipe onto a disk with nothing in use holds the disk while it writes: after
// the second chunk, a partition the third has not reached yet fails to mount, as a desktop
// would mount it, and a second Load is refused; the first ends whole.
TEST_F(LoopDevices, ADiskIsHeldWhileALoadWritesIt)
{
    if (output_of("command -v mkfs.ext4").empty())
        GTEST_SKIP() << "no mkfs.ext4";
    LoopDevice loop(loop_image(partitioned_disk(62)), true);
    REQUIRE_PARTITIONS(loop);
    std::string part2 = attach_partitioned_drive(backend, loop);
    ASSERT_NE(part2, "");
    ASSERT_EQ(std::system(("mkfs.ext4 -q -F " + part2 + " >/dev/null 2>&1").c_str()), 0);
    std::string disk = disk_now(loop);
    const std::string file = random_bytes(3 * CHUNK, 63).replace(446, 66, disk.substr(446, 66));
    write_whole_file(at("boot.bin"), file.substr(0, 512));
    ASSERT_EQ(mkfifo(at("in.fifo").c_str(), 0600), 0);
    // Open for writing here too, so the program's reads wait for what the test sends.
    int pipe = open(at("in.fifo").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(pipe, 0);
    // Sends what the program reads, unless it stops reading for the length of a run.
    auto send = [pipe](const std::string& bytes) {
        Deadline deadline = seconds_from_now(RUN_DEADLINE_SECONDS);
        for (std::size_t sent = 0; sent < bytes.size();) {
            ssize_t put = write(pipe, bytes.data() + sent, bytes.size() - sent);
            if (put > 0)
                sent += static_cast<std::size_t>(put);
            else if (std::chrono::steady_clock::now() > deadline)
                return false;
            else
                usleep(1000);
        }
        return true;
    };

    ASSERT_TRUE(is_loop_over(loop, at("loop.img")));
    Terminal first;
    ASSERT_TRUE(start_in_terminal(
        &first, backend->command({"-L", "0", "in.fifo", "0", std::to_string(file.size())}),
        work.path));
    // Once the second chunk is in the pipe, the first has been read and the disk claimed.
    ASSERT_TRUE(send(file.substr(0, 2 * CHUNK)));
    {
        Mount midway(part2, "ext4", at("mnt"));
        EXPECT_EQ(midway.error, EBUSY) << midway.mount_point;
    }
    ProgramRun second = run_to_end({"-L", "0", "boot.bin"});
    EXPECT_TRUE(ended_with_status_0(second, 1));
    EXPECT_EQ(second.output, BUSY);
    ASSERT_TRUE(send(file.substr(2 * CHUNK)));
    close(pipe);
    Deadline deadline = seconds_from_now(RUN_DEADLINE_SECONDS);
    ASSERT_TRUE(wait_for_key_wait(&first, deadline));
    type_keys(&first, "k");
    ASSERT_TRUE(wait_for_exit(&first, deadline));
    EXPECT_EQ(first.output, progress("Write", {CHUNK, 2 * CHUNK, 3 * CHUNK}) + COMPLETED);
    EXPECT_TRUE(same_bytes(disk_now(loop), file + disk.substr(file.size())));
}

// A file system on a second loop device, attached over bytes 2 MiB to 6 MiB of the drive,
// holds no claim on the drive; it keeps those bytes from a Load all the same, and the
// loop device's own node, which /sys of the test build does not place, from a Save.
TEST_F(LoopDevices, LoadIsRefusedWhereItWouldReachAFileSystemOnALoopDeviceOverTheDrive)
{
    if (output_of("command -v mkfs.ext4").empty())
        GTEST_SKIP() << "no mkfs.ext4";
    std::string bytes = random_bytes(8 * 1024 * 1024, 51);
    LoopDevice loop(loop_image(bytes));
    REQUIRE_LOOP(loop);
    const unsigned WINDOW = 2 * 1024 * 1024, WINDOW_SIZE = 4 * 1024 * 1024;
    LoopDevice over(loop.device, false, 512,
                    "-o " + std::to_string(WINDOW) + " --sizelimit " + std::to_string(WINDOW_SIZE));
    if (over.device.empty())
        GTEST_SKIP() << "no second loop device could be attached";
    ASSERT_TRUE(is_loop_over(over, loop.device));
    ASSERT_EQ(std::system(("mkfs.ext4 -q -F " + over.device + " >/dev/null 2>&1").c_str()), 0);
    Mount mounted(over.device, "ext4", at("mnt"));
    if (mounted.mount_point.empty())
        GTEST_SKIP() << "cannot mount ext4 here: " << std::strerror(mounted.error);

    ASSERT_TRUE(backend->attach_drive(0, loop.device));
    copy_loop_entry(over, std::string(VORLENT_E2E_DRIVES) + "/sys/block/" + over.name);
    std::string disk = disk_now(loop);
    ASSERT_EQ(disk.size(), bytes.size());

    // Two chunks end before the window; the third would reach into it.
    expect_third_chunk_refused(loop, 52, &disk);

    ASSERT_TRUE(is_loop_over(over, loop.device));
    expect_save_into_refused(over.device);
    EXPECT_TRUE(same_bytes(read_whole_file(loop.device), disk));
}

// A GPT disk whose second partition is mounted: its headers and entry arrays are kept as
// a master boot record's table is, read in the disk's own logical blocks.
class LoopGptDisks : public LoopDevices, public ::testing::WithParamInterface<unsigned> {};

TEST_P(LoopGptDisks, ACardImageLeavesTheTableOfADiskInUseAsItWas)
{
    if (output_of("command -v sfdisk").empty())
        GTEST_SKIP() << "no sfdisk";
    std::string image = loop_image(random_bytes(8 * 1024 * 1024, 60));
    {
        // sfdisk counts in the sectors of the device it writes.
        LoopDevice blank(image, false, GetParam());
        REQUIRE_LOOP(blank);
        ASSERT_EQ(std::system(("printf 'label: gpt\\nstart=1MiB, size=1MiB\\nstart=2MiB, "
                               "size=4MiB\\n' | sfdisk -q " + blank.device + " >/dev/null 2>&1")
                                  .c_str()),
                  0);
    }
    LoopDevice loop(image, true, GetParam());
    MOUNT_EXT4_ON_PARTITION_2(loop, part2, mounted);
    std::string disk = disk_now(loop);
    // With the disk's master boot record, only the GPT keeps the card out.
    expect_only_the_table_kept(loop, 61, 512, &disk);
}

INSTANTIATE_TEST_SUITE_P(, LoopGptDisks, ::testing::Values(512u, 4096u));

// An ext4 on a mounted partition, written through a loop device over that partition and
// through one over its disk: each write is refused where it would land in the file system or
// change the table that places it, and the file system stays clean.
TEST_F(LoopDevices, ALoadThroughALoopDeviceIsGuardedWhereItsBytesLand)
{
    if (output_of("command -v e2fsck").empty())
        GTEST_SKIP() << "no e2fsck";
    LoopDevice loop(loop_image(partitioned_disk(53)), true);
    std::string checked;
    {
        MOUNT_EXT4_ON_PARTITION_2(loop, part2, mounted);
        checked = part2;
        LoopDevice over_partition(part2), over_disk(loop.device);
        if (over_partition.device.empty() || over_disk.device.empty())
            GTEST_SKIP() << "no further loop devices could be attached";
        ASSERT_TRUE(backend->attach_drive(1, over_partition.device));
        ASSERT_TRUE(backend->attach_drive(2, over_disk.device));
        copy_loop_entry(over_partition, linux_drive_entry(1));
        copy_loop_entry(over_disk, linux_drive_entry(2));
        std::string disk = disk_now(loop);
        write_whole_file(at("in.bin"), random_bytes(CHUNK, 54));

        struct Case {
            const LoopDevice* over;
            std::string backing, drive, sector;
        };
        const Case cases[] = {{&over_partition, part2, "1", "0"},
                              {&over_disk, loop.device, "2", "4096"},  // partition 2
                              {&over_disk, loop.device, "2", "0"}};    // the table
        for (const Case& c : cases) {
            SCOPED_TRACE("drive " + c.drive + ", sector " + c.sector);
            ASSERT_TRUE(is_loop_over(*c.over, c.backing));
            ProgramRun loaded = run_to_end({"-L", c.drive, "in.bin", c.sector});
            EXPECT_TRUE(ended_with_status_0(loaded, 1));
            EXPECT_EQ(loaded.output, BUSY);
        }
        EXPECT_TRUE(same_bytes(disk_now(loop), disk));
    }
    EXPECT_EQ(std::system(("e2fsck -n -f " + checked + " >/dev/null 2>&1").c_str()), 0);
}

void LoopDevices::expect_load_at(const LoopDevice& loop, const std::string& image,
                                 std::uint64_t sector, const std::string& file, bool written,
                                 std::string* disk)
{
    write_whole_file(at("in.bin"), file);
    ASSERT_TRUE(is_loop_over(loop, image));
    ProgramRun loaded = run_to_end({"-L", "0", "in.bin", std::to_string(sector)});
    EXPECT_TRUE(ended_with_status_0(loaded, 1));
    EXPECT_EQ(loaded.output, written ? progress("Write", {file.size()}) + COMPLETED : BUSY);
    if (written)
        disk->replace(sector * 512, file.size(), file);
    EXPECT_TRUE(same_bytes(disk_now(loop), *disk));
}

// Writes `table` (sfdisk's script) onto a blank loop device over `image`, in its sectors;
// `options` go to losetup.
bool write_table(const std::string& image, const std::string& table,
                 const std::string& options = "")
{
    LoopDevice blank(image, false, 512, options);
    return !blank.device.empty() && is_loop_over(blank, image) &&
           std::system(("printf '" + table + "' | sfdisk -q " + blank.device + " >/dev/null 2>&1")
                           .c_str()) == 0;
}

// An MBR disk whose sixth partition, the second logical one, holds a mounted file system.
// Its extended boot records at sectors 18432 and 61440 place it: each takes a Load only of
// the table it holds, and the file system stays clean.
TEST_F(LoopDevices, TheRecordsThatPlaceAMountedLogicalPartitionAreKept)
{
    for (const char* tool : {"sfdisk", "mkfs.ext4", "e2fsck"})
        if (output_of(std::string("command -v ") + tool).empty())
            GTEST_SKIP() << "no " << tool;
    std::string image = loop_image(std::string(56 * 1024 * 1024, '\0'));
    ASSERT_TRUE(write_table(image, "label: dos\\nstart=2048,size=16384,type=83\\n"
                                   "start=18432,type=5\\nstart=20480,size=40960,type=83\\n"
                                   "start=63488,size=40960,type=83\\n"));
    LoopDevice loop(image, true);
    REQUIRE_LOOP(loop);
    if (!std::filesystem::exists(loop.partition_entry(6)))
        GTEST_SKIP() << "the kernel shows no logical partitions of loop devices";
    ASSERT_TRUE(backend->attach_drive(0, loop.device));
    std::string part6;
    for (int number : {1, 2, 5, 6})
        ASSERT_NE(part6 = show_partition(loop, number), "") << number;
    ASSERT_EQ(std::system(("mkfs.ext4 -q -F " + part6 + " >/dev/null 2>&1").c_str()), 0);
    {
        Mount mounted(part6, "ext4", at("mnt"));
        if (mounted.mount_point.empty())
            GTEST_SKIP() << "cannot mount ext4 here: " << std::strerror(mounted.error);
        // The extended partition is kept but for p5 and the records' first sectors.
        std::string listing = describe_drives(e2e_roots());
        EXPECT_NE(listing.find("sda2 holding a partition in use at bytes 9438208-10485759 and "
                               "31457792-58720255"),
                  std::string::npos)
            << listing;
        std::string disk = disk_now(loop);
        const std::string zeros(512, '\0');
        expect_load_at(loop, image, 18432, zeros, false, &disk);
        expect_load_at(loop, image, 61440, zeros, false, &disk);
        expect_load_at(loop, image, 20480, random_bytes(512, 67), true, &disk);  // free p5
        expect_load_at(loop, image, 20479, random_bytes(512, 68), false, &disk);  // a gap
        // Boot code, with the table the record holds.
        expect_load_at(loop, image, 61440,
                       random_bytes(446, 56) + disk.substr(61440 * 512 + 446, 66), true, &disk);
    }
    EXPECT_EQ(std::system(("e2fsck -n -f " + part6 + " >/dev/null 2>&1").c_str()), 0);
}

// A second loop device, over bytes 8 MiB to 40 MiB of the drive, with a table of its own and
// a mounted partition: its table is kept through the drive as through itself, compared
// with what the device holds, also while its cache still shows an older table.
TEST_F(LoopDevices, TheTableOfAPartitionedLoopDeviceInsideTheDriveIsKept)
{
    for (const char* tool : {"sfdisk", "mkfs.ext4"})
        if (output_of(std::string("command -v ") + tool).empty())
            GTEST_SKIP() << "no " << tool;
    const std::uint64_t INNER = 8 * 1024 * 1024;
    std::string image = loop_image(std::string(48 * 1024 * 1024, '\0'));
    LoopDevice loop(image);
    REQUIRE_LOOP(loop);
    const std::string window = "-o " + std::to_string(INNER) + " --sizelimit 33554432";
    ASSERT_TRUE(write_table(loop.device, "label: dos\\nstart=2048,type=83\\n", window));
    LoopDevice inner(loop.device, true, 512, window);
    if (inner.device.empty())
        GTEST_SKIP() << "no second loop device could be attached";
    ASSERT_TRUE(is_loop_over(inner, loop.device));
    if (!std::filesystem::exists(inner.partition_entry(1)))
        GTEST_SKIP() << "the kernel shows no partitions of loop devices";
    ASSERT_TRUE(backend->attach_drive(0, loop.device));
    std::string entry = std::string(VORLENT_E2E_DRIVES) + "/sys/block/" + inner.name;
    copy_loop_entry(inner, entry);
    write_whole_file(entry + "/size", read_whole_file("/sys/block/" + inner.name + "/size"));
    std::string node = std::string(VORLENT_E2E_DRIVES) + "/dev/" + inner.name;
    ASSERT_EQ(symlink(inner.device.c_str(), node.c_str()), 0);
    std::string part1 = show_partition(inner, 1, inner.name, inner.name + "p");
    ASSERT_NE(part1, "");
    ASSERT_EQ(std::system(("mkfs.ext4 -q -F " + part1 + " >/dev/null 2>&1").c_str()), 0);
    Mount mounted(part1, "ext4", at("mnt"));
    if (mounted.mount_point.empty())
        GTEST_SKIP() << "cannot mount ext4 here: " << std::strerror(mounted.error);

    // The inner device's cache keeps its table as it was; its bytes on the drive change.
    std::string disk = disk_now(loop);
    const std::string before = disk.substr(INNER, 512);
    ASSERT_EQ(read_whole_file(inner.device).substr(0, 512), before);
    std::string now = before;
    now[446] = static_cast<char>(0x80);  // the first entry made active
    int drive = open(loop.device.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(drive, 0);
    ASSERT_EQ(pwrite(drive, now.data(), now.size(), INNER), 512);
    close(drive);
    disk.replace(INNER, 512, now);
    ASSERT_EQ(read_whole_file(inner.device).substr(0, 512), before) << "the cache was dropped";

    ASSERT_TRUE(is_loop_over(inner, loop.device));
    expect_load_at(loop, image, INNER / 512, std::string(512, '\0'), false, &disk);
    // Boot code with the table the cache shows, then with the one the device holds.
    expect_load_at(loop, image, INNER / 512, random_bytes(446, 57) + before.substr(446), false,
                   &disk);
    expect_load_at(loop, image, INNER / 512, random_bytes(446, 58) + now.substr(446), true,
                   &disk);
}

// Bytes 446-511 of a boot record with `entries` (type, start, size in sectors).
std::string boot_record(const std::vector<std::array<std::uint32_t, 3>>& entries)
{
    std::string record(66, '\0');
    for (std::size_t entry = 0; entry < entries.size(); ++entry) {
        record[16 * entry + 4] = static_cast<char>(entries[entry][0]);
        for (int at = 0; at < 4; ++at) {
            record[16 * entry + 8 + at] = static_cast<char>(entries[entry][1] >> (8 * at));
            record[16 * entry + 12 + at] = static_cast<char>(entries[entry][2] >> (8 * at));
        }
    }
    return record.replace(64, 2, "\x55\xAA");
}

// The layouts of two ways around the guard that a review found, each with a mounted ext4 on
// a partition a table places from where the guard once did not look: p6, placed by a record
// outside the extended partition, and p200, entry 200 of a 16384-entry GPT. A change of that
// record or entry is refused before any byte; a free logical partition beside p6 and the boot
// code of the disk still take a Load.
TEST_F(LoopDevices, TheRecordOrEntryThatPlacesAMountedPartitionIsKeptWhereverItLies)
{
    for (const char* tool : {"sfdisk", "mkfs.ext4", "e2fsck"})
        if (output_of(std::string("command -v ") + tool).empty())
            GTEST_SKIP() << "no " << tool;
    struct Layout {
        const char* table;
        int mounted;
        std::uint64_t sector;  // of the record or entry that places it
    };
    const Layout layouts[] = {
        {"label: dos\\nstart=2048,size=8192,type=83\\nstart=16384,size=4096,type=5\\n"
         "start=18432,size=1024,type=83\\n", 6, 40960},
        {"label: gpt\\ntable-length: 16384\\nfirst-lba: 6144\\n200: start=8192,size=8192\\n",
         200, 51},
    };
    for (const Layout& layout : layouts) {
        SCOPED_TRACE(layout.table);
        std::string image = loop_image(std::string(32 * 1024 * 1024, '\0'));
        ASSERT_TRUE(write_table(image, layout.table));
        std::string bytes = read_whole_file(image);
        if (layout.mounted == 6) {
            // The record at 16384 places p5 and links to one at 40960, which places p6.
            bytes.replace(16384 * 512 + 446, 66,
                          boot_record({{0x83, 2048, 1024}, {0x05, 24576, 18432}}));
            bytes.replace(40960 * 512 + 446, 66, boot_record({{0x83, 2048, 16384}}));
            write_whole_file(image, bytes);
        }
        LoopDevice loop(image, true);
        REQUIRE_LOOP(loop);
        if (!std::filesystem::exists(loop.partition_entry(layout.mounted)))
            GTEST_SKIP() << "the kernel shows no partition " << layout.mounted;
        ASSERT_TRUE(backend->attach_drive(0, loop.device));
        std::string mounted_node;
        for (int number : layout.mounted == 6 ? std::vector<int>{1, 2, 5, 6}
                                              : std::vector<int>{200})
            ASSERT_NE(mounted_node = show_partition(loop, number), "") << number;
        ASSERT_EQ(std::system(("mkfs.ext4 -q -F " + mounted_node + " >/dev/null 2>&1").c_str()), 0);
        {
            Mount mounted(mounted_node, "ext4", at("mnt"));
            if (mounted.mount_point.empty())
                GTEST_SKIP() << "cannot mount ext4 here: " << std::strerror(mounted.error);
            std::string disk = disk_now(loop);
            // The partition 2048 sectors later: the record's first entry, entry 200's start.
            std::string moved = disk.substr(layout.sector * 512, 512);
            std::size_t start = layout.mounted == 6 ? 446 + 8 : 199 * 128 % 512 + 32;
            moved[start + 1] = static_cast<char>(moved[start + 1] + 8);
            expect_load_at(loop, image, layout.sector, moved, false, &disk);
            if (layout.mounted == 6) {
                std::string unlinked = disk.substr(16384 * 512, 512);
                unlinked.replace(446 + 16, 16, 16, '\0');
                expect_load_at(loop, image, 16384, unlinked, false, &disk);
                expect_load_at(loop, image, 18432, random_bytes(512, 62), true, &disk);
            }
            expect_load_at(loop, image, 0, random_bytes(446, 63), true, &disk);
        }
        EXPECT_EQ(std::system(("e2fsck -n -f " + mounted_node + " >/dev/null 2>&1").c_str()), 0);
        backend->detach_drives();
    }
}

}  // namespace
