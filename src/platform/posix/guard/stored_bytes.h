// Reads of the bytes a device holds, not of what its page cache kept: the guard compares
// and follows partition tables with them. Each block device (a disk, each partition, each
// loop device) has a cache of its own, so a table written through one device may still
// show its old bytes through another.
#pragma once

#include <cstddef>
#include <cstdint>

// Reads `count` bytes at byte `position` of `descriptor`, whatever its position: past the
// cache where the device takes direct reads, otherwise after dropping the cached pages of
// that range. False when they cannot all be read.
bool read_stored(int descriptor, std::uint64_t position, void* bytes, std::size_t count);
