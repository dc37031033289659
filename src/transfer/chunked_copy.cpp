#include "transfer/transfer.h"

#include "cli/console.h"

#include <stdint.h>

namespace {

// The transfer buffer starts on a page boundary. The kernel copies to and from a buffer
// that is not 32-byte aligned markedly slower, and some Windows devices refuse an
// unaligned buffer outright; a page suits them all.
const DWORD BUFFER_ALIGNMENT = 4096;

// How a copy in order ended. A source that ended early is not reported yet: what it gave
// has been written, and the caller may still have bytes to write before it says so.
enum CopyEnd { CopiedAll, SourceEnded, CopyFailed };

// Reports a condition the program detects itself, through the same path as the
// platform's own failures.
bool fail_with(DWORD code)
{
    SetLastError(code);
    report_system_error();
    return false;
}

// `count` chunk buffers in one block, the first on a page boundary; a chunk is a whole
// number of pages, so the others are too. Null, reported, when there is no memory for
// them. The block is a page larger than the chunks, so they fit in it wherever it starts;
// the process end releases it.
BYTE* allocate_chunks(DWORD count)
{
    BYTE* block = static_cast<BYTE*>(malloc(count * CHUNK_SIZE + BUFFER_ALIGNMENT));
    if (block == NULL) {
        fail_with(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    uintptr_t misalignment = reinterpret_cast<uintptr_t>(block) % BUFFER_ALIGNMENT;
    return misalignment == 0 ? block : block + (BUFFER_ALIGNMENT - misalignment);
}

// Writes the `count` bytes at `buffer` where `destination` stands, then adds them to
// `done` and shows the total. A write that stores fewer bytes is a full disk.
bool write_chunk(HANDLE destination, const BYTE* buffer, DWORD count, ULONGLONG* done,
                 const char* progress_text)
{
    DWORD written = 0;
    if (!WriteFile(destination, buffer, count, &written, NULL)) {
        report_system_error();
        return false;
    }
    if (written < count)
        return fail_with(ERROR_HANDLE_DISK_FULL);
    *done += count;
    printf_s(progress_text, *done);
    return true;
}

// Reads `count` bytes from `source` into `buffer`, as ReadFile does. A drive that refuses
// the read as running past its end (Windows fails it whole) gives what it holds of them
// instead, as a short read: the source has ended there.
bool read_chunk(HANDLE source, BYTE* buffer, DWORD count, DWORD* read)
{
    return ReadFile(source, buffer, count, read, NULL) ||
           (GetLastError() == ERROR_SECTOR_NOT_FOUND &&
            read_what_the_drive_holds(source, buffer, count, read));
}

// Copies `length` bytes from where `source` stands to where `destination` stands, chunk by
// chunk through `buffer`, adding what it writes to `done`.
CopyEnd copy_in_order(HANDLE source, HANDLE destination, BYTE* buffer, ULONGLONG length,
                      ULONGLONG* done, const char* progress_text)
{
    ULONGLONG copied = 0;
    while (copied < length) {
        DWORD chunk = length - copied < CHUNK_SIZE ? static_cast<DWORD>(length - copied)
                                                   : CHUNK_SIZE;
        DWORD read = 0;
        if (!read_chunk(source, buffer, chunk, &read)) {
            report_system_error();
            return CopyFailed;
        }
        // A short read means the source has ended: what did arrive is still written, but
        // never the part of the buffer the read left unfilled.
        if (read > 0 && !write_chunk(destination, buffer, read, done, progress_text))
            return CopyFailed;
        if (read < chunk)
            return SourceEnded;
        copied += read;
    }
    return CopiedAll;
}

}  // namespace

bool copy_chunks(HANDLE source, HANDLE destination, ULONGLONG length, const char* progress_text)
{
    BYTE* buffer = allocate_chunks(1);
    if (buffer == NULL)
        return false;
    ULONGLONG done = 0;
    CopyEnd end = copy_in_order(source, destination, buffer, length, &done, progress_text);
    if (end == SourceEnded)
        return fail_with(ERROR_HANDLE_EOF);
    return end == CopiedAll;
}

// The first chunk holds the drive's partition table, so it is written last. A Load that
// fails partway then leaves the old table over the old partitions, never a new table over
// half-written ones. And Windows, which refuses raw writes into the volumes it has mounted
// and mounts the partitions of a table as soon as the table is written, meets the new
// table only once nothing is left to write into them.
bool copy_chunks_first_last(HANDLE source, HANDLE drive, ULONGLONG length,
                            const char* progress_text)
{
    if (length <= CHUNK_SIZE)
        return copy_chunks(source, drive, length, progress_text);
    // A length the drive cannot take would fail only at the last write, once every chunk
    // but the first is written; it is refused before any byte instead.
    if (!may_write_length(drive, length)) {
        report_system_error();
        return false;
    }
    BYTE* first = allocate_chunks(2);
    if (first == NULL)
        return false;
    BYTE* buffer = first + CHUNK_SIZE;
    ULONGLONG done = 0;
    DWORD first_read = 0;
    if (!read_chunk(source, first, CHUNK_SIZE, &first_read)) {
        report_system_error();
        return false;
    }
    // A source that ends within the first chunk leaves nothing to write after it.
    if (first_read < CHUNK_SIZE) {
        if (first_read > 0 && !write_chunk(drive, first, first_read, &done, progress_text))
            return false;
        return fail_with(ERROR_HANDLE_EOF);
    }
    // Moves past the first chunk, which tells where it begins. Whether the drive takes the
    // chunk there is asked now, before any byte goes out.
    LARGE_INTEGER skip, start;
    skip.QuadPart = CHUNK_SIZE;
    if (!SetFilePointerEx(drive, skip, &start, FILE_CURRENT)) {
        report_system_error();
        return false;
    }
    start.QuadPart -= CHUNK_SIZE;
    if (!may_write_at(drive, static_cast<ULONGLONG>(start.QuadPart), first, CHUNK_SIZE)) {
        report_system_error();
        return false;
    }
    CopyEnd end = copy_in_order(source, drive, buffer, length - CHUNK_SIZE, &done, progress_text);
    if (end == CopyFailed)
        return false;
    // Asked again right before the chunk goes out: while the others were written, a part
    // that its table places may have come into use.
    if (!SetFilePointerEx(drive, start, NULL, FILE_BEGIN) ||
        !may_write_at(drive, static_cast<ULONGLONG>(start.QuadPart), first, CHUNK_SIZE)) {
        report_system_error();
        return false;
    }
    if (!write_chunk(drive, first, CHUNK_SIZE, &done, progress_text))
        return false;
    if (end == SourceEnded)
        return fail_with(ERROR_HANDLE_EOF);
    return true;
}
