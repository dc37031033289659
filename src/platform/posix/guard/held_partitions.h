// What the tables this guard does not read keep: Linux also makes partitions from labels
// inside partitions (BSD, Solaris, UnixWare, Minix), and a program may add partitions that
// no table places. Where the guard cannot account for what places a partition in use, it
// keeps more, never less:
// - A partition that holds one in use is kept but for the free partitions in it, and its
//   first sectors, where Linux reads its label, whole. An extended partition that holds one in
//   use is kept but for the free partitions in it and its records' first sectors (whose
//   entries are kept as a table's).
// - A partition in use that no other partition holds, and whose start and size no entry the
//   table keeps gives, was placed by something the guard cannot read: the whole disk is kept.
#pragma once

#include "platform/posix/guard/partition_table.h"

// The partitions of `partitions` that `table`, read from a disk of `disk_size` bytes (0: not
// known), keeps whole or in part from every write, in their order.
std::vector<HeldPartition> held_partitions(const KeptTable& table,
                                           const std::vector<Partition>& partitions,
                                           std::uint64_t disk_size);
