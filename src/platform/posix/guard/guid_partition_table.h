// Where a GPT lies: its two headers, each a whole logical block, and the entry arrays their
// own fields name. A field that does not make sense (an array off the disk, on its header,
// or beyond a megabyte) is not followed; the usual place is taken instead.
#pragma once

#include "platform/posix/guard/partition_table.h"

// The headers and arrays of the GPT of the disk open on `descriptor`, `disk_size` bytes in
// logical blocks of `block_size`. With -1 for a disk that cannot be read: every usual place
// of either block size.
std::vector<ByteRange> gpt_bytes(int descriptor, std::uint64_t disk_size,
                                 std::uint64_t block_size);
