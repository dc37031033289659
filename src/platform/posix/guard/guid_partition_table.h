// Where a GPT lies: its two headers, each a whole logical block, and the entry arrays their
// own fields name, as large as Linux reads them. An array the guard does not follow (off
// the disk, of no size, or larger than Linux reads) is taken to fill the blocks between its
// header and the usable blocks that header names, and never fewer than the usual array.
#pragma once

#include "platform/posix/guard/partition_table.h"

// The headers and arrays of the GPT of the disk open on `descriptor`, `disk_size` bytes in
// logical blocks of `block_size`. With -1 for a disk that cannot be read: every usual place
// of either block size. With `placed`, adds there the partitions the entries of the arrays
// followed place, as far as Linux numbers them.
std::vector<ByteRange> gpt_bytes(int descriptor, std::uint64_t disk_size,
                                 std::uint64_t block_size, std::vector<ByteRange>* placed);
