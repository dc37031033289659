// Where a disk's partition table lies: what says where its partitions are, and so what a
// write must leave as it is while one of them is in use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The bytes [begin, end) of a disk.
struct ByteRange {
    std::uint64_t begin;
    std::uint64_t end;
};

// Reads `count` bytes at byte `position` of `descriptor`, whatever its position; false when
// they cannot all be read.
bool read_at(int descriptor, std::uint64_t position, void* bytes, std::size_t count);

// The bytes of the partition table of the disk open on `descriptor`, `disk_size` bytes in
// logical blocks of `block_size`: the entries and signature of the master boot record and,
// where that record marks a GPT disk, both GPT headers (each a whole block) with the entry
// arrays their own fields name. A field that does not make sense (an array off the disk, on
// its header, or beyond a megabyte) is not followed; the usual place is taken instead. A
// disk whose first sector cannot be read is taken for a GPT disk in every usual place of
// either block size.
std::vector<ByteRange> partition_table_bytes(int descriptor, std::uint64_t disk_size,
                                             std::uint64_t block_size);
