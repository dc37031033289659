// Where a disk's partition table lies: what says where its partitions are, and so what a
// write must leave as it is while one of them is in use. The master boot record's entries
// are read here; the chain of extended boot records and the GPT each have a file of their
// own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The bytes [begin, end) of a disk.
struct ByteRange {
    std::uint64_t begin;
    std::uint64_t end;
};

// The four partition entries of a boot record and its signature, in its first 512 bytes:
// those of the master boot record in sector 0, or of an extended boot record.
const ByteRange MBR_TABLE = {446, 512};

// One of those entries: its type, and where the partition lies in logical blocks (from
// where the record says).
struct MbrEntry {
    unsigned char type;
    std::uint64_t start;
    std::uint64_t size;
};

// Entry `index`, 0 to 3, of the boot record whose first 512 bytes are `sector`.
MbrEntry mbr_entry(const unsigned char* sector, int index);

// Whether those bytes end in 55 AA, without which Linux reads no entry of them.
bool has_boot_signature(const unsigned char* sector);

// Whether `ranges` holds a byte of [begin, end).
bool overlaps_any(const std::vector<ByteRange>& ranges, std::uint64_t begin, std::uint64_t end);

// The bytes of the partition table of the disk open on `descriptor`, `disk_size` bytes in
// logical blocks of `block_size`, as the device holds them, that place the parts of the
// disk in use (`in_use`): the entries and signature of the master boot record; where that
// record marks a GPT disk, both GPT headers with their entry arrays; otherwise the extended
// boot records that place a logical partition in use. A disk whose first sector cannot be
// read is taken for a GPT disk in every usual place of either block size, and for an MBR
// disk whose chain is damaged. With `chain`, the extended boot records among them are also
// put there.
std::vector<ByteRange> partition_table_bytes(int descriptor, std::uint64_t disk_size,
                                             std::uint64_t block_size,
                                             const std::vector<ByteRange>& in_use,
                                             std::vector<ByteRange>* chain = nullptr);
