#include "transfer/transfer.h"

#include "cli/console.h"

#include <cinttypes>

namespace {

// The progress texts name what happens to the drive. The total is a ULONGLONG, which
// PRIu64 spells as each build's runtime reads it (msvcrt's printf_s included).
const char LOAD_PROGRESS_TEXT[] = "Write %" PRIu64 " bytes\r";
const char SAVE_PROGRESS_TEXT[] = "Read %" PRIu64 " bytes\r";

// Places the drive at the requested sector. Sector 0 is where an open drive already
// stands, so it makes no call at all. The command line has refused every sector whose
// offset does not fit the signed position.
bool seek_to_sector(HANDLE drive, ULONGLONG sector)
{
    if (sector == 0)
        return true;
    LARGE_INTEGER offset;
    offset.QuadPart = static_cast<long long>(sector * SECTOR_SIZE);
    return SetFilePointerEx(drive, offset, NULL, FILE_BEGIN) != 0;
}

// A write may return while its bytes still sit in a cache, where a failure to store them
// would only surface after the run had claimed success; the flush waits for them and
// reports that failure. A run that wrote nothing has nothing to wait for.
bool flush_destination(HANDLE destination, ULONGLONG length)
{
    return length == 0 || FlushFileBuffers(destination) != 0;
}

}  // namespace

// A low part of INVALID_FILE_SIZE is also a true size; the last error, cleared on success,
// tells the two apart.
bool read_size(HANDLE object, ULONGLONG* size)
{
    DWORD size_high = 0;
    DWORD size_low = GetFileSize(object, &size_high);
    if (size_low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR)
        return false;
    *size = (static_cast<ULONGLONG>(size_high) << 32) | size_low;
    return true;
}

HANDLE open_existing_shared(const char* name)
{
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
}

// On a failure no handle is closed: the process end releases them.
RunOutcome run_load(TransferRequest& request)
{
    HANDLE file = open_existing_shared(request.file_name);
    if (file == INVALID_HANDLE_VALUE) {
        report_system_error();
        return Failed;
    }
    // The default length is the whole file, however large.
    if (request.length == 0 && !read_size(file, &request.length)) {
        report_system_error();
        return Failed;
    }
    // The drive must hold the whole range before any byte of it is written: a Load that
    // stopped at the drive's end would leave a card that is neither the old one nor the new.
    HANDLE drive = open_existing_shared(request.drive_path);
    if (drive == INVALID_HANDLE_VALUE ||
        !(request.length == 0 ? seek_to_sector(drive, request.sector)
                              : drive_holds(drive, request.sector * SECTOR_SIZE, request.length))) {
        report_system_error();
        return Failed;
    }
    if (!copy_chunks_first_last(file, drive, request.length, LOAD_PROGRESS_TEXT))
        return Failed;
    if (!flush_destination(drive, request.length)) {
        report_system_error();
        return Failed;
    }
    CloseHandle(file);
    CloseHandle(drive);
    return Completed;
}

RunOutcome run_save(TransferRequest& request)
{
    HANDLE drive = open_existing_shared(request.drive_path);
    if (drive == INVALID_HANDLE_VALUE || !seek_to_sector(drive, request.sector)) {
        report_system_error();
        return Failed;
    }
    if (!confirm_overwrite(request.file_name))
        return Declined;
    HANDLE file = CreateFileA(request.file_name, GENERIC_WRITE, FILE_SHARE_WRITE, NULL,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        report_system_error();
        return Failed;
    }
    if (request.length == 0)
        request.length = DEFAULT_SAVE_LENGTH;
    if (!copy_chunks(drive, file, request.length, SAVE_PROGRESS_TEXT))
        return Failed;
    if (!flush_destination(file, request.length)) {
        report_system_error();
        return Failed;
    }
    CloseHandle(drive);
    CloseHandle(file);
    return Completed;
}
