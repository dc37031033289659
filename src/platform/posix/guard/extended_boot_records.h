// Where the chain of extended boot records lies that places a disk's logical partitions.
// An entry of the master boot record names the extended partition; its first block holds
// the first record. Each record holds, in bytes 446-511 of its block as the master boot
// record does, the entry of one logical partition (from that record's block) and a link to
// the next record (from the extended partition's start), which Linux and libblkid follow
// wherever on the disk it points. Linux numbers the logical partitions in the order of the
// chain, from 5.
#pragma once

#include "platform/posix/guard/partition_table.h"

// Whether the entry names an extended partition.
bool is_extended(const MbrEntry& entry);

// Each extended partition the master boot record `mbr` names, whole, in bytes.
std::vector<ByteRange> extended_partitions(const unsigned char* mbr, std::uint64_t block_size);

// Bytes 446-511 of each record that places a logical partition in `in_use` (bytes of the
// disk open on `descriptor`, `disk_size` bytes (0: not known) in logical blocks of
// `block_size`, whose master boot record is `mbr`): every record of the chain from the first
// up to that partition's own. The chain is followed as Linux follows it, wherever it leads
// before the disk's end, for as many records as Linux reads. Where it does not reach a part
// in use inside the extended partition (a record unreadable, without its signature, or
// linked off the disk), the places a sound chain would use for it are taken: the bytes from
// the last partition the chain placed before it, or from the extended partition's start, up
// to it. With -1 for a disk that cannot be read, those places before each part in use, after
// the master boot record. With `placed`, adds there the logical partitions those records
// place.
std::vector<ByteRange> extended_boot_record_bytes(int descriptor, const unsigned char* mbr,
                                                  std::uint64_t block_size,
                                                  std::uint64_t disk_size,
                                                  const std::vector<ByteRange>& in_use,
                                                  std::vector<ByteRange>* placed);
