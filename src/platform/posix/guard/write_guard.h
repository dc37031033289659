// The guard: keeps writes to a block device out of the parts of its disk that are in use, as
// Windows keeps writes by any name out of mounted volumes, while the rest of the disk (its
// boot sector, the gaps, partitions nothing uses) stays writable. A loop device is followed
// down to what its bytes land on. The partition table that places a part in use may be
// written only with the bytes the device holds there: the master boot record's entries, the
// chain of extended boot records up to a logical partition in use, a GPT; also the table of a
// loop device over a range of the disk, where it lies on the disk. A partition that holds one
// in use, or one in use that none of those tables places, keeps more (held_partitions.h).
// What is in use is taken right before the first write through the handle; then the disk is
// held exclusively until the handle closes, so that nothing on it can be mounted, swapped on
// or claimed while it is written (a loop device over a range of it still can be, and is
// looked up with the rest). Where something on the disk is in use already, the disk cannot
// be held; what is in use is then taken afresh for each question asked before a write. The
// port calls this header alone; the rest of this folder reads /sys, the mount tables and the
// partition tables for it.
#pragma once

#include "platform/posix/guard/disk_usage.h"
#include "platform/posix/guard/partition_table.h"

#include <cstdint>
#include <string>
#include <vector>

// The bytes of `disk` in use now: those of each part in use, or all of them when the disk
// itself is in use or a part in use cannot be placed.
std::vector<ByteRange> ranges_in_use(const std::string& disk, const SystemRoots& roots);

// What `table` keeps where it places parts in use, as read_partition_table finds it on the
// table's own disk, read as the device holds it, in bytes of the disk looked at.
KeptTable kept_table(const TableWindow& table, const SystemRoots& roots);

// Whether the `count` bytes from `position` touch any of `ranges`.
bool touches_any(const std::vector<ByteRange>& ranges, std::uint64_t position,
                 std::uint64_t count);

// For `descriptor`, just opened for writing: when it is a block device, by a drive name or
// any other, guards its writes on the disk /sys places it on, a partition by its range.
// An image file is never guarded.
void guard_block_device_writes(int descriptor, const SystemRoots& roots);

// False, with errno EBUSY, when the `count` bytes at `buffer`, written at the
// descriptor's position, would touch a range in use or change a partition table that places
// one (looked up at its first write); true for every unguarded descriptor. Only the bytes
// before the device's end are checked: the kernel writes none past it, and the write then
// meets that end as it would with nothing in use.
bool write_is_allowed(int descriptor, const void* buffer, std::uint64_t count);

// As write_is_allowed, for the bytes written at byte `position` of the descriptor, wherever
// its position stands; asked while the disk is not held, it takes what is in use afresh.
// (write_is_allowed also fails, with lseek's errno, when the position cannot be read.)
bool write_is_allowed_at(int descriptor, std::uint64_t position, const void* buffer,
                         std::uint64_t count);

// Forgets the guard of a descriptor that is being closed, and lets go of its disk.
void end_drive_guard(int descriptor);
