// Writes to a drive that bypass the page cache, as Windows writes a raw drive: a write
// returns once the device has its bytes, so the progress line counts bytes on the device,
// no more than a chunk waits in memory, and the flush at the end waits only for the
// device's own cache. What direct I/O cannot take goes through the cache, which the
// kernel keeps coherent with the direct writes.
#pragma once

#include <cstddef>
#include <sys/types.h>

// For `descriptor`, just opened on a block device through a drive name: its writes go
// past the cache wherever the device allows.
void start_direct_io(int descriptor);

// Forgets `descriptor`, which is being closed.
void end_direct_io(int descriptor);

// As read(2) on `descriptor`, always through the cache. On a descriptor given to
// start_direct_io, the cache drops what earlier calls read, keeping what lies ahead.
ssize_t read_some(int descriptor, void* buffer, std::size_t count);

// As write(2) on `descriptor`. On a descriptor given to start_direct_io, a call whose
// position and buffer lie on the device's logical block size writes the largest whole
// number of blocks it can past the cache and returns that count; the caller continues
// with the rest, which then goes through the cache. Every other call, and every call
// after the device refused a direct write, goes through the cache.
ssize_t write_some(int descriptor, const void* buffer, std::size_t count);
