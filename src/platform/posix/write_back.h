// Files and block devices written through the page cache are stored as they are written,
// as a drive written past the cache is: each write starts the storing of its own bytes and
// waits until those of the write before it are stored. So at most about two chunks wait
// in memory, the progress line runs at most a chunk ahead of the bytes the device holds,
// and the flush at the end has only the last chunk left to wait for, not the whole copy.
#pragma once

#include <cstddef>

// For `descriptor`, just opened for writing on a regular file or a block device.
void start_write_back(int descriptor);

// Forgets `descriptor`, which is being closed.
void end_write_back(int descriptor);

// After a write of `count` bytes on `descriptor` that ended at its position now: starts
// storing them and waits until the bytes of the previous write are stored. False, with
// the reason as errno, when the bytes could not be stored (an I/O error, a thin device
// out of space). Such a failure must be reported at this write: once a wait has shown it,
// the final fsync no longer does. A descriptor whose object cannot be stored this way is
// left to the cache from then on, and true is returned.
bool write_back(int descriptor, std::size_t count);
