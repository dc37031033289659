// The two transfer runs and the steps they are built from.
#pragma once

#include "cli/transfer_request.h"

// Bytes moved per read and write: 2,000 sectors of 512 bytes (250 pages of 4,096), so every
// chunk but the last stays sector-aligned on the drive.
const DWORD CHUNK_SIZE = 1024000;

// What Save copies when no length is given: the boot sector.
const DWORD DEFAULT_SAVE_LENGTH = 512;

// The unit of the Sector argument.
const DWORD SECTOR_SIZE = 512;

// Each run settles request.length and returns how it ended. A failure has been reported
// before Failed is returned.
RunOutcome run_load(TransferRequest& request);
RunOutcome run_save(TransferRequest& request);

// Sets `*size` to the size of the object open on `object`, however large. False, with the
// reason as the last error, when the platform tells none.
bool read_size(HANDLE object, ULONGLONG* size);

// Opens an existing object for reading and writing while others may do the same.
// Returns the handle, or INVALID_HANDLE_VALUE with the reason as the last error.
HANDLE open_existing_shared(const char* name);

// Copies `length` bytes from `source` to `destination` in chunks of at most CHUNK_SIZE,
// printing `progress_text` with the running total after each; its one placeholder takes
// a ULONGLONG (PRIu64). Returns true when all bytes were copied; false after a failure it
// has already reported, with the chunks written before it left in place. A source that
// ends early is such a failure.
bool copy_chunks(HANDLE source, HANDLE destination, ULONGLONG length, const char* progress_text);

// As copy_chunks onto `drive`, but a copy of more than one chunk writes its first chunk
// last, back where the drive stood, once every chunk after it has been written (also when
// the source ends early). It asks first whether the drive takes that length, and whether it
// takes that chunk there, and asks about the chunk again right before writing it. When any
// write fails, the first chunk is never written. The total shown climbs by the bytes
// written, so the last one shown is the whole length. Needs a second chunk of memory.
bool copy_chunks_first_last(HANDLE source, HANDLE drive, ULONGLONG length,
                            const char* progress_text);

// Whether `drive`, just opened, holds every byte of the `length` bytes (not 0) from byte
// `offset`, found without writing; it then stands at `offset`. False, with the reason as
// the last error: ERROR_HANDLE_DISK_FULL when the drive ends before them.
bool drive_holds(HANDLE drive, ULONGLONG offset, ULONGLONG length);

// After `drive` refused a read of `count` bytes at its position as running past its end
// (ERROR_SECTOR_NOT_FOUND): reads into `buffer` the part of them the drive holds, and sets
// `*read` to its size. False, with the reason as the last error, when a read fails otherwise.
bool read_what_the_drive_holds(HANDLE drive, BYTE* buffer, DWORD count, DWORD* read);

// Asks before an existing `file_name` is replaced. Returns true when the run may go on:
// the file does not exist or the user pressed 1.
bool confirm_overwrite(const char* file_name);
