// What the guard keeps from writes on a /sys/block tree built here: the parts in use, the
// disks and loop devices under them, and the partition tables that place them.
#include "drives/drive_list.h"
#include "platform/posix/api.h"
#include "platform/posix/guard/write_guard.h"
#include "sys_block_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <fcntl.h>
#include <tuple>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// Block device nodes of this machine, each of another device, for what only a real node
// can show: swap areas and mount sources are matched through a node's number.
std::vector<std::string> block_device_nodes()
{
    std::vector<std::string> nodes;
    std::vector<dev_t> numbers;
    for (const auto& entry : std::filesystem::directory_iterator("/dev")) {
        struct stat info;
        if (lstat(entry.path().c_str(), &info) == 0 && S_ISBLK(info.st_mode) &&
            std::find(numbers.begin(), numbers.end(), info.st_rdev) == numbers.end()) {
            nodes.push_back(entry.path().string());
            numbers.push_back(info.st_rdev);
        }
    }
    return nodes;
}

std::string number_of(const std::string& node)
{
    struct stat info;
    if (stat(node.c_str(), &info) != 0)
        return "";
    return std::to_string(major(info.st_rdev)) + ":" + std::to_string(minor(info.st_rdev));
}

// A disk of 16384 sectors: a free boot area, sda1 at 2048 for 2048 sectors, sda2 at 4096
// for 8192 sectors, then free space. Each case puts a part of it in use.
class WriteGuard : public SysBlockTree {
protected:
    void SetUp() override
    {
        SysBlockTree::SetUp();
        add_disk("sda", "16384", true);
        put(sys_block + "/sda/dev", "8:0\n");
        add_partition("sda", "sda1", "2048", "2048", "8:1");
        add_partition("sda", "sda2", "4096", "8192", "8:2");
    }

    // Whether a write of `count` bytes at byte `position` is refused.
    bool refused(std::uint64_t position, std::uint64_t count)
    {
        return touches_any(ranges_in_use("sda", roots()), position, count);
    }
};

TEST_F(WriteGuard, OnlyWritesThatTouchAPartitionInUseAreRefused)
{
    add_mount("8:2", "/data");
    struct Case {
        const char* what;
        std::uint64_t position, count;
        bool refused;
    };
    const std::uint64_t BEGIN = 4096 * 512, END = (4096 + 8192) * 512;
    const Case cases[] = {
        {"the boot sector", 0, 512, false},
        {"the unused partition before it", 2048 * 512, 2048 * 512, false},
        {"ending just before it", 0, BEGIN, false},
        {"its first sector from just before it", BEGIN - 512, 1024, true},
        {"one byte of it", BEGIN + 4000, 1, true},
        {"its last sector into the space after it", END - 512, 1024, true},
        {"the whole disk", 0, 16384 * 512, true},
        {"starting just after it", END, 4096 * 512, false},
        {"nothing at its start", BEGIN, 0, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(refused(c.position, c.count), c.refused) << c.what;
}

// Each use on a partition of its own, so that each keeps out the writes of its range alone.
TEST_F(WriteGuard, EveryKindOfUseKeepsWritesOutOfItsPartition)
{
    std::vector<std::string> nodes = block_device_nodes();
    struct Case {
        const char* what;
        const char* partition;
        std::string number;  // empty: this machine has no node to stand for it
        bool in_use;
    };
    const Case cases[] = {
        {"not used", "sdb1", "8:17", false},
        {"mounted", "sdb2", "8:18", true},
        {"held by another driver", "sdb3", "8:19", true},
        {"mounted with an anonymous number, by its node", "sdb4",
         nodes.size() > 0 ? number_of(nodes[0]) : "", true},
        {"active swap", "sdb5", nodes.size() > 1 ? number_of(nodes[1]) : "", true},
    };
    add_disk("sdb", "8192", true);
    for (std::size_t at = 0; at < std::size(cases); ++at)
        add_partition("sdb", cases[at].partition, std::to_string(1024 * (at + 1)), "1024",
                      cases[at].number.empty() ? "8:99" : cases[at].number);
    add_mount("8:18", "/data");
    put(sys_block + "/sdb/sdb3/holders/dm-0", "");
    if (nodes.size() > 0)
        add_mount("0:55", "/btrfs", nodes[0]);
    if (nodes.size() > 1)
        std::ofstream(swaps, std::ios::app) << nodes[1] << "\tpartition\t512\t0\t-2\n";

    std::vector<ByteRange> in_use = ranges_in_use("sdb", roots());
    for (std::size_t at = 0; at < std::size(cases); ++at) {
        if (cases[at].number.empty())
            continue;
        std::uint64_t begin = 1024 * (at + 1) * 512;
        EXPECT_EQ(touches_any(in_use, begin, 1024 * 512), cases[at].in_use) << cases[at].what;
        EXPECT_EQ(touches_any(in_use, begin + 1024 * 512 - 1, 1), cases[at].in_use)
            << cases[at].what;
    }
    EXPECT_FALSE(touches_any(in_use, 0, 1024 * 512));
    EXPECT_FALSE(touches_any(in_use, 6144 * 512, 2048 * 512));
}

// Where the disk itself is in use, or a partition in use lies nobody knows where, no byte
// of the disk can be written safely.
TEST_F(WriteGuard, ADiskInUseAsAWholeKeepsEveryWriteOut)
{
    add_mount("8:0", "/");
    EXPECT_TRUE(refused(0, 512));
    EXPECT_TRUE(refused(16383 * 512, 512));

    write_whole_file(mount_table, "");
    std::filesystem::remove(sys_block + "/sda/sda2/start");
    EXPECT_FALSE(refused(0, 512));
    add_mount("8:2", "/data");
    EXPECT_TRUE(refused(0, 512));
}

// Any block device written is found on its disk through its number, as a drive or a file.
TEST_F(WriteGuard, ADeviceIsPlacedOnItsDiskByItsNumber)
{
    put(sys_block + "/sda/sda3/partition", "3\n");  // its start cannot be read
    put(sys_block + "/sda/sda3/size", "8\n");
    std::filesystem::create_directories(dir / "sys/devices/virtual/block/zram0");
    struct Case {
        const char* what;
        unsigned major_number, minor_number;
        const char* target;  // null: no link
        bool found, placed;
        std::uint64_t begin, end;
    };
    const Case cases[] = {
        {"the disk", 8, 0, "../../block/sda", true, true, 0, 16384 * 512},
        {"a partition", 8, 2, "../../block/sda/sda2", true, true, 4096 * 512, 12288 * 512},
        {"a partition without a start", 8, 3, "../../block/sda/sda3", true, false, 0, 0},
        {"a device of no disk of the tree", 253, 0, "../../devices/virtual/block/zram0", false,
         false, 0, 0},
        {"a number without a link", 8, 9, nullptr, false, false, 0, 0},
    };
    for (const Case& c : cases) {
        std::string number = std::to_string(c.major_number) + ":" + std::to_string(c.minor_number);
        if (c.target != nullptr)
            link_number(number, c.target);
        DevicePlace place;
        ASSERT_EQ(place_device(makedev(c.major_number, c.minor_number), roots(), &place), c.found)
            << c.what;
        if (!c.found)
            continue;
        EXPECT_EQ(place.disk, "sda") << c.what;
        EXPECT_EQ(place.placed, c.placed) << c.what;
        if (c.placed) {
            EXPECT_EQ(place.begin, c.begin) << c.what;
            EXPECT_EQ(place.end, c.end) << c.what;
        }
    }
}

// A file system on a loop device over bytes of the disk, or of one of its partitions, lies
// on those bytes; the kernel does not count it as a claim on the disk.
TEST_F(WriteGuard, ALoopDeviceInUseOverTheDiskKeepsWritesOutOfItsWindowAndIsListed)
{
    std::vector<std::string> nodes = block_device_nodes();
    if (nodes.size() < 2)
        GTEST_SKIP() << "this machine has no two block device nodes to stand for sda and sda2";
    link_number(number_of(nodes[0]), "../../block/sda");
    link_number(number_of(nodes[1]), "../../block/sda/sda2");
    add_loop("loop1", nodes[0], "51200", "4096", "7:1");
    add_mount("7:1", "/mnt/window");
    add_loop("loop2", nodes[1], "4096", "0", "7:2");  // to the end of sda2
    put(sys_block + "/loop2/holders/dm-3", "");
    add_loop("loop3", nodes[0], "0", "0", "7:3");  // nothing uses it
    write_whole_file(dir / "image", "");
    add_loop("loop4", dir / "image", "0", "0", "7:4");  // over a file, not over sda
    add_mount("7:4", "/mnt/file");
    add_loop("loop5", nodes[0], std::to_string(14336 * 512), "0", "7:5");
    add_partition("loop5", "loop5p1", "8", "8", "259:0");
    add_mount("259:0", "/mnt/part");

    struct Case {
        const char* what;
        std::uint64_t position, count;
        bool refused;
    };
    const Case cases[] = {
        {"loop1's window", 51200, 4096, true},
        {"up to loop1's window", 0, 51200, false},
        {"from the end of loop1's window", 55296, 512, false},
        {"sda2 before loop2's window", 4096 * 512, 4096, false},
        {"loop2's first byte", 4096 * 512 + 4096, 1, true},
        {"the last byte of sda2", 12288 * 512 - 1, 1, true},
        {"after sda2, up to loop5p1", 12288 * 512, (14336 + 8 - 12288) * 512, false},
        {"loop5p1", (14336 + 8) * 512, 8 * 512, true},
        {"after loop5p1", (14336 + 16) * 512, 512, false},
    };
    std::vector<ByteRange> in_use = ranges_in_use("sda", roots());
    for (const Case& c : cases)
        EXPECT_EQ(touches_any(in_use, c.position, c.count), c.refused) << c.what;
    // loop5's own table places loop5p1, so it is kept where loop5's bytes lie on sda; so is
    // sda's, which places sda2 under loop2.
    std::vector<TableWindow> tables;
    read_disk_usage("sda", roots(), true, &tables);
    ASSERT_EQ(tables.size(), 2u);
    EXPECT_EQ(tables[1].disk, "sda");
    EXPECT_EQ(tables[0].disk, "loop5");
    EXPECT_TRUE(tables[0].of_loop_over);
    EXPECT_EQ(std::make_tuple(tables[0].window.placed, tables[0].window.begin,
                              tables[0].window.end, tables[0].window.source_begin),
              std::make_tuple(true, 14336ull * 512, 16384ull * 512, 0ull));
    ASSERT_EQ(tables[0].in_use.size(), 1u);
    EXPECT_EQ(tables[0].in_use[0].begin, 8u * 512);
    EXPECT_NE(describe_drives(roots()).find(
                  "  In use:    loop1 over bytes 51200-55295 mounted on /mnt/window; loop2 over "
                  "bytes 2101248-6291455 held by dm-3; loop5p1 over bytes 7344128-7348223 "
                  "mounted on /mnt/part; loop5 table over unknown bytes\n"),
              std::string::npos)
        << describe_drives(roots());
}

// A loop device's bytes land on its backing: a partition or a disk, at an offset, another
// loop device, or a file that another loop device in use shows too. What is in use there
// keeps writes out of the loop device's bytes over it, and the listing says so.
TEST_F(WriteGuard, ALoopDeviceIsFollowedDownToWhatItsBytesLandOn)
{
    std::vector<std::string> nodes = block_device_nodes();
    if (nodes.size() < 3)
        GTEST_SKIP() << "this machine has no three block device nodes to stand for backings";
    link_number(number_of(nodes[0]), "../../block/sda");
    link_number(number_of(nodes[1]), "../../block/sda/sda2");
    link_number(number_of(nodes[2]), "../../block/loop1");
    add_mount("8:2", "/data");
    const std::uint64_t SDA2 = 4096 * 512, SDA2_SIZE = 8192 * 512;
    add_loop("loop1", nodes[0], std::to_string(SDA2 - 1024), "0", "7:1");
    put(sys_block + "/loop1/size", "12290\n");
    add_loop("loop2", nodes[1], "512", "4096", "7:2");
    add_loop("loop3", nodes[2], "1024", "0", "7:3");  // from where sda2 starts under loop1
    add_loop("loop4", nodes[0], "0", std::to_string(SDA2), "7:4");
    write_whole_file(dir / "image", "");
    add_loop("loop5", dir / "image", "0", "1048576", "7:5");
    add_mount("7:5", "/mnt/file");
    add_loop("loop6", dir / "image", "524288", "0", "7:6");
    for (const char* loop : {"loop5", "loop6"})
        put(sys_block + "/" + loop + "/size", "2048\n");
    add_loop("loop7", dir / "image", "1048576", "0", "7:7");

    struct Case {
        const char* what;
        const char* loop;
        std::vector<std::pair<std::uint64_t, std::uint64_t>> in_use;
    };
    const Case cases[] = {
        {"over the disk, sda2 from its byte 1024", "loop1", {{1024, 1024 + SDA2_SIZE}}},
        {"inside sda2", "loop2", {{0, 4096}}},
        {"over loop1 from where sda2 starts", "loop3", {{0, SDA2_SIZE}}},
        {"over the disk up to sda2", "loop4", {}},
        {"mounted itself", "loop5", {{0, UINT64_MAX}}},
        {"over the end of loop5's bytes of the file", "loop6", {{0, 524288}}},
        {"over the file past loop5's bytes", "loop7", {}},
    };
    for (const Case& c : cases) {
        std::vector<std::pair<std::uint64_t, std::uint64_t>> in_use;
        for (const ByteRange& range : ranges_in_use(c.loop, roots()))
            in_use.emplace_back(range.begin, range.end);
        EXPECT_EQ(in_use, c.in_use) << c.what;
    }
    std::string listing = describe_drives(roots());
    for (const char* line : {"  In use:    sda2 at bytes 1024-4195327 mounted on /data\n",
                             "  In use:    loop5 at bytes 0-524287 mounted on /mnt/file\n"})
        EXPECT_NE(listing.find(line), std::string::npos) << line << listing;
}

// A GPT header for read_partition_table: where it is, and what its fields say.
struct GptHeader {
    std::uint64_t lba, alternate, entries, count, entry_size, first_usable = 0;
};

// A disk of `blocks` blocks of `block` bytes whose master boot record marks a GPT disk, with
// `headers` on it.
std::string gpt_disk(std::uint64_t block, std::uint64_t blocks,
                     const std::vector<GptHeader>& headers)
{
    std::string disk(block * blocks, '\0');
    disk.replace(446 + 4, 1, "\xEE").replace(510, 2, "\x55\xAA");
    for (const GptHeader& header : headers) {
        std::string bytes = "EFI PART" + std::string(block - 8, '\0');
        auto field = [&bytes](std::size_t at, std::uint64_t value, int size) {
            for (int byte = 0; byte < size; ++byte)
                bytes[at + byte] = static_cast<char>(value >> (8 * byte));
        };
        field(12, 92, 4);
        field(32, header.alternate, 8);
        field(40, header.first_usable, 8);
        field(72, header.entries, 8);
        field(80, header.count, 4);
        field(84, header.entry_size, 4);
        disk.replace(header.lba * block, block, bytes);
    }
    return disk;
}

// A boot record with `entries` (type, start, size in blocks) and its signature, in block
// `at` of `disk`.
void put_boot_record(std::string* disk, std::uint64_t block, std::uint64_t at,
                     const std::vector<std::array<std::uint64_t, 3>>& entries)
{
    for (std::size_t entry = 0; entry < entries.size(); ++entry) {
        for (int byte = 0; byte < 4; ++byte) {
            std::size_t row = at * block + 446 + 16 * entry;
            (*disk)[row + 4] = static_cast<char>(entries[entry][0]);
            (*disk)[row + 8 + byte] = static_cast<char>(entries[entry][1] >> (8 * byte));
            (*disk)[row + 12 + byte] = static_cast<char>(entries[entry][2] >> (8 * byte));
        }
    }
    disk->replace(at * block + 510, 2, "\x55\xAA");
}

// 200 blocks: a primary partition at 2, the extended partition from 20, and in it records
// at 20, 60 and 120 for logical partitions at 22 (30 blocks), 62 (30) and 122 (20). The
// second record links to the third `link` blocks after the extended partition's start.
std::string logical_disk(std::uint64_t block, std::uint64_t link = 100, bool signed_2 = true)
{
    std::string disk(block * 200, '\0');
    put_boot_record(&disk, block, 0, {{0x83, 2, 8}, {0x05, 20, 180}});
    put_boot_record(&disk, block, 20, {{0x83, 2, 30}, {0x05, 40, 30}});
    put_boot_record(&disk, block, 60, {{0x83, 2, 30}, {0x05, link, 30}});
    put_boot_record(&disk, block, 120, {{0x83, 2, 20}});
    if (!signed_2)
        disk[60 * block + 511] = 0;
    return disk;
}

// logical_disk's first record linking to one at block 160, outside the extended partition
// (20 to 60), which places a logical partition at 162 (20 blocks).
std::string outside_link_disk()
{
    std::string disk = logical_disk(512);
    put_boot_record(&disk, 512, 0, {{0x83, 2, 8}, {0x05, 20, 40}});
    put_boot_record(&disk, 512, 20, {{0x83, 2, 30}, {0x05, 140, 30}});
    put_boot_record(&disk, 512, 160, {{0x83, 2, 20}});
    return disk;
}

// The table is found where its headers say, and where a table usually lies when they say
// nothing that makes sense; never further than its disk. Of a chain of extended boot
// records, the records up to that of each logical partition in use, wherever they lie; past
// where the chain breaks, the bytes up to the partition. A partition that holds one in use,
// or one in use that no table places, is kept from every write (`held`).
TEST_F(WriteGuard, APartitionTableIsFoundFromItsOwnFieldsWithinBounds)
{
    using Ranges = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
    const std::uint64_t K = 512, K4 = 4096, ARRAY = 16384, LAST = 99 * K, END = 100 * K;
    std::string mbr_only(END, '\0');
    mbr_only.replace(446 + 4, 1, "\x83").replace(510, 2, "\x55\xAA");
    std::string slice_disk(END, '\0');  // a BSD slice, whose label this guard does not read
    put_boot_record(&slice_disk, K, 0, {{0xA5, 2, 88}});
    struct Case {
        const char* what;
        std::string disk;
        std::uint64_t block;
        Ranges table;
        Ranges in_use = {};
        std::vector<Partition> partitions = {};  // as /sys shows them; those in use are in use
        Ranges held = {};
    };
    // The entries of the master boot record and of the records at 20 and 60.
    const std::uint64_t MBR = 446, R1 = 20 * K + 446, R2 = 60 * K + 446;
    // Where a GPT of 512-byte blocks usually lies, taken where its fields make no sense.
    const Ranges USUAL = {{446, 512}, {K, 2 * K}, {2 * K, 2 * K + ARRAY}, {LAST, END},
                          {LAST - ARRAY, LAST}};
    const Case cases[] = {
        {"a master boot record alone", mbr_only, K, {{446, 512}}},
        {"a usual GPT", gpt_disk(K, 100, {{1, 99, 2, 128, 128}, {99, 1, 67, 128, 128}}), K,
         {{446, 512}, {K, 2 * K}, {2 * K, 2 * K + ARRAY}, {LAST, END}, {67 * K, 67 * K + ARRAY}}},
        {"a GPT of 4096-byte blocks",
         gpt_disk(K4, 20, {{1, 19, 2, 128, 128}, {19, 1, 15, 128, 128}}), K4,
         {{446, 512}, {K4, 2 * K4}, {2 * K4, 2 * K4 + ARRAY}, {19 * K4, 20 * K4},
          {15 * K4, 15 * K4 + ARRAY}}},
        {"a backup the primary places before the end, with larger entries",
         gpt_disk(K, 100, {{1, 90, 2, 128, 256}, {90, 1, 26, 128, 256}}), K,
         {{446, 512}, {K, 2 * K}, {2 * K, 2 * K + 2 * ARRAY}, {LAST, END},
          {LAST - ARRAY, LAST}, {90 * K, 91 * K}, {26 * K, 26 * K + 2 * ARRAY}}},
        {"absurd places and counts",
         gpt_disk(K, 100, {{1, 1ull << 60, 1ull << 62, 0xFFFFFFFF, 128}}), K, USUAL},
        {"an entry size no GPT has, an array over its own header",
         gpt_disk(K, 100, {{1, 99, 2, 128, 100}, {99, 1, 90, 128, 128}}), K, USUAL},
        {"no GPT header", gpt_disk(K, 100, {}), K, USUAL},
        {"a primary partition in use", logical_disk(K), K, {{446, 512}}, {{2 * K, 10 * K}}},
        {"the second logical partition in use", logical_disk(K), K,
         {{MBR, 512}, {R1, R1 + 66}, {R2, R2 + 66}}, {{62 * K, 92 * K}}},
        {"the second logical partition in use, blocks of 4096 bytes", logical_disk(K4), K4,
         {{MBR, 512}, {20 * K4 + MBR, 20 * K4 + 512}, {60 * K4 + MBR, 60 * K4 + 512}},
         {{62 * K4, 92 * K4}}},
        {"the third in use, the second record without its signature", logical_disk(K, 100, false),
         K, {{MBR, 512}, {R1, R1 + 66}, {R2, R2 + 66}, {52 * K, 122 * K}}, {{122 * K, 142 * K}}},
        {"the third in use, the second record linked off the extended partition",
         logical_disk(K, 300), K, {{MBR, 512}, {R1, R1 + 66}, {R2, R2 + 66}, {92 * K, 122 * K}},
         {{122 * K, 142 * K}}},
        {"a link outside the extended partition", outside_link_disk(), K,
         {{MBR, 512}, {R1, R1 + 66}, {160 * K + 446, 160 * K + 512}}, {{162 * K, 182 * K}}},
        {"an array of 16384 entries",
         gpt_disk(K, 8192, {{1, 8191, 2, 16384, 128}, {8191, 1, 4095, 16384, 128}}), K,
         {{446, 512}, {K, 2 * K}, {2 * K, 2 * K + 128 * ARRAY}, {8191 * K, 8192 * K},
          {4095 * K, 8191 * K}}},
        {"an array not followed, up to the first usable block",
         gpt_disk(K, 100, {{1, 99, 2, 0xFFFFFFFF, 128, 60}}), K,
         {{446, 512}, {K, 2 * K}, {2 * K, 60 * K}, {LAST, END}, {LAST - ARRAY, LAST}}},
        {"a free logical partition beside one in use", logical_disk(K), K,
         {{MBR, 512}, {R1, R1 + 66}, {R2, R2 + 66}}, {},
         {{"p2", {20 * K, 22 * K}, false}, {"p5", {22 * K, 52 * K}, false},
          {"p6", {62 * K, 92 * K}, true}, {"p7", {122 * K, 142 * K}, false}},
         {{52 * K, 60 * K}, {61 * K, 122 * K}, {142 * K, 200 * K}}},
        {"a partition in use inside a slice, beside free ones, one over its label", slice_disk,
         K, {{446, 512}}, {},
         {{"p1", {2 * K, 90 * K}, false}, {"p5", {40 * K, 60 * K}, true},
          {"p6", {2 * K, 40 * K}, false}, {"p7", {60 * K, 90 * K}, false}},
         {{2 * K, 34 * K}, {40 * K, 60 * K}}},
        {"a partition in use that no table places", slice_disk, K, {{446, 512}}, {},
         {{"p1", {2 * K, 90 * K}, false}, {"p2", {90 * K, 99 * K}, true}}, {{0, END}}},
    };
    for (const Case& c : cases) {
        write_whole_file(dir / "disk.img", c.disk);
        int descriptor = open((dir / "disk.img").c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(descriptor, 0);
        std::vector<ByteRange> in_use;
        for (const auto& range : c.in_use)
            in_use.push_back({range.first, range.second});
        for (const Partition& partition : c.partitions) {
            if (partition.in_use)
                in_use.push_back(partition.bytes);
        }
        KeptTable kept =
            read_partition_table(descriptor, c.disk.size(), c.block, in_use, c.partitions);
        close(descriptor);
        Ranges table, held;
        for (const ByteRange& range : kept.bytes)
            table.emplace_back(range.begin, range.end);
        for (const HeldPartition& partition : kept.held) {
            for (const ByteRange& range : partition.bytes)
                held.emplace_back(range.begin, range.end);
        }
        EXPECT_EQ(table, c.table) << c.what;
        EXPECT_EQ(held, c.held) << c.what;
    }
    // A disk that cannot be read holds a table of either block size anywhere one may lie,
    // and a chain anywhere before a part in use.
    Ranges unread;
    for (const ByteRange& range : read_partition_table(-1, END, K, {{50 * K, 60 * K}}).bytes)
        unread.emplace_back(range.begin, range.end);
    EXPECT_EQ(unread, (Ranges{{446, 512}, {512, 2 * K4 + ARRAY}, {END - K4 - ARRAY, END},
                              {512, 50 * K}}));
}

// What a drive name reaches is guarded only if it is a block device: an image file given
// as a drive is never in use, whatever /sys says of the disk it stands for.
TEST_F(WriteGuard, AnImageGivenAsADriveIsNeverGuarded)
{
    add_mount("8:0", "/");
    std::string image = dir / "drive.img";
    write_whole_file(image, std::string(4096, 'x'));
    int descriptor = open(image.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(descriptor, 0);
    guard_block_device_writes(descriptor, roots());
    HANDLE handle = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(descriptor));
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(handle, "boot", 4, &written, nullptr));
    EXPECT_EQ(written, 4u);
    EXPECT_TRUE(CloseHandle(handle));
    EXPECT_EQ(read_whole_file(image), "boot" + std::string(4092, 'x'));
}

}  // namespace
