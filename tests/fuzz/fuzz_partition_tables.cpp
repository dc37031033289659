// Drives the guard's readers of the master boot record, the extended boot records and the GPT
// with a disk whose sectors the input writes, as whoever formatted a card may have written
// them. Besides what the sanitizers catch, and the time libFuzzer allows one input, every
// read must end, keep the master boot record's table, and keep nothing past the disk's end.
//
// Input: two setup bytes, then sectors of the disk, all zero where none is given.
//   byte 0: bits 0-5 the disk's size in MiB, less one; bit 6 logical blocks of 4096 bytes
//   byte 1: which of the first eight partitions the tables place are in use
//   then, repeated: a sector's number (4 bytes, little-endian) and its 512 bytes
#include "platform/posix/guard/partition_table.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>

namespace {

const std::size_t SETUP_BYTES = 2, SECTOR = 512;
const std::uint64_t MIB = 1024 * 1024;

void check(bool condition, const char* promise)
{
    if (!condition) {
        std::fprintf(stderr, "broken: %s\n", promise);
        std::abort();
    }
}

void check_on_the_disk(const std::vector<ByteRange>& ranges, std::uint64_t disk_size)
{
    for (const ByteRange& range : ranges)
        check(range.begin < range.end && range.end <= disk_size, "kept bytes lie on the disk");
}

KeptTable read_and_check(int disk, std::uint64_t disk_size, std::uint64_t block_size,
                         const std::vector<ByteRange>& in_use,
                         const std::vector<Partition>& partitions)
{
    KeptTable kept = read_partition_table(disk, disk_size, block_size, in_use, partitions);
    check(!kept.bytes.empty() && kept.bytes[0].begin == MBR_TABLE.begin &&
              kept.bytes[0].end == MBR_TABLE.end,
          "the master boot record's table is kept");
    check_on_the_disk(kept.bytes, disk_size);
    for (const HeldPartition& held : kept.held)
        check_on_the_disk(held.bytes, disk_size);
    return kept;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < SETUP_BYTES)
        return -1;
    const std::uint64_t disk_size = ((data[0] & 0x3F) + 1) * MIB;
    const std::uint64_t block_size = (data[0] & 0x40) != 0 ? 4096 : 512;
    int disk = memfd_create("disk", MFD_CLOEXEC);
    check(disk >= 0 && ftruncate(disk, static_cast<off_t>(disk_size)) == 0, "the disk is made");
    for (std::size_t at = SETUP_BYTES; at + 4 + SECTOR <= size; at += 4 + SECTOR) {
        std::uint64_t sector = data[at] | data[at + 1] << 8 | data[at + 2] << 16 |
                               static_cast<std::uint64_t>(data[at + 3]) << 24;
        if (sector < disk_size / SECTOR)
            check(pwrite(disk, data + at + 4, SECTOR, static_cast<off_t>(sector * SECTOR)) ==
                      static_cast<ssize_t>(SECTOR),
                  "the sector is written");
    }
    // First with every byte after the master boot record in use, which follows each table as
    // far as it goes; then with the partitions placed that the input puts in use.
    KeptTable all = read_and_check(disk, disk_size, block_size, {{SECTOR, disk_size}}, {});
    std::vector<Partition> partitions;
    std::vector<ByteRange> in_use;
    for (std::size_t at = 0; at < all.placed.size() && at < 8; ++at) {
        // As Linux shows them: cut at the disk's end, and none from past it.
        ByteRange bytes = {all.placed[at].begin, std::min(all.placed[at].end, disk_size)};
        if (bytes.begin >= disk_size)
            continue;
        partitions.push_back({"p" + std::to_string(at + 1), bytes, (data[1] >> at & 1) != 0});
        if (partitions.back().in_use)
            in_use.push_back(bytes);
    }
    read_and_check(disk, disk_size, block_size, in_use, partitions);
    close(disk);
    return 0;
}
