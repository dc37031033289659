// Where a disk's partition table lies: what says where its partitions are, and so what a
// write must leave as it is while one of them is in use. The master boot record's entries
// are read here; the chain of extended boot records and the GPT each have a file of their
// own, and what the tables this guard does not read keep is told in held_partitions.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
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

// [first, first + count) blocks of `block_size` as bytes; false when they do not fit.
bool blocks_to_bytes(std::uint64_t first, std::uint64_t count, std::uint64_t block_size,
                     ByteRange* bytes);

// A partition of the disk as /sys shows it, and whether something uses it.
struct Partition {
    std::string name;
    ByteRange bytes;
    bool in_use;
};

// A partition kept from every write for what it holds, or for what places it.
struct HeldPartition {
    std::string name;
    bool unplaced;                 // placed by no table read: the whole disk is kept
    std::vector<ByteRange> bytes;  // the bytes kept so
};

// What the partition table of a disk keeps from writes while parts of it are in use.
struct KeptTable {
    std::vector<ByteRange> bytes;     // written only with the bytes the device holds there
    std::vector<ByteRange> records;   // the extended boot records among them
    std::vector<ByteRange> placed;    // the partitions the entries among them place
    std::vector<ByteRange> extended;  // each extended partition, whole
    std::vector<HeldPartition> held;  // not written at all
};

// The partition table of the disk open on `descriptor`, `disk_size` bytes (0: not known) in
// logical blocks of `block_size`, as the device holds it, where it places the parts of the
// disk in use (`in_use`): the entries and signature of the master boot record; where that
// record marks a GPT disk, both GPT headers with their entry arrays; otherwise the extended
// boot records that place a logical partition in use. `partitions` are the disk's own as
// /sys shows them, for held_partitions(). A disk whose first sector cannot be read is taken
// for a GPT disk in every usual place of either block size, and for an MBR disk whose chain
// is damaged; it places none of its partitions.
KeptTable read_partition_table(int descriptor, std::uint64_t disk_size, std::uint64_t block_size,
                               const std::vector<ByteRange>& in_use,
                               const std::vector<Partition>& partitions = {});
