#include "transfer/transfer.h"

#include "cli/console.h"

#include <stdint.h>

namespace {

// The transfer buffer starts on a page boundary. The kernel copies to and from a buffer
// that is not 32-byte aligned markedly slower, and some Windows devices refuse an
// unaligned buffer outright; a page suits them all.
const DWORD BUFFER_ALIGNMENT = 4096;

// Reports a condition the program detects itself, through the same path as the
// platform's own failures.
bool fail_with(DWORD code)
{
    SetLastError(code);
    report_system_error();
    return false;
}

}  // namespace

bool copy_chunks(HANDLE source, HANDLE destination, ULONGLONG length, const char* progress_text)
{
    // One buffer for the whole run, a page larger than a chunk so that a page-aligned
    // chunk fits inside it; the process end releases it.
    BYTE* block = static_cast<BYTE*>(malloc(CHUNK_SIZE + BUFFER_ALIGNMENT));
    if (block == NULL)
        return fail_with(ERROR_NOT_ENOUGH_MEMORY);
    uintptr_t misalignment = reinterpret_cast<uintptr_t>(block) % BUFFER_ALIGNMENT;
    BYTE* buffer = misalignment == 0 ? block : block + (BUFFER_ALIGNMENT - misalignment);

    ULONGLONG done = 0;
    while (done < length) {
        DWORD chunk = length - done < CHUNK_SIZE ? static_cast<DWORD>(length - done) : CHUNK_SIZE;
        DWORD read = 0;
        if (!ReadFile(source, buffer, chunk, &read, NULL)) {
            report_system_error();
            return false;
        }
        // A short read means the source has ended: what did arrive is still written, but
        // never the part of the buffer the read left unfilled.
        if (read > 0) {
            DWORD written = 0;
            if (!WriteFile(destination, buffer, read, &written, NULL)) {
                report_system_error();
                return false;
            }
            if (written < read)
                return fail_with(ERROR_HANDLE_DISK_FULL);
            done += read;
            printf_s(progress_text, done);
        }
        if (read < chunk)
            return fail_with(ERROR_HANDLE_EOF);
    }
    return true;
}
