// File and device services of the port: a handle is a file descriptor, and every
// failure leaves its errno as the last error.
#include "platform/posix/api.h"
#include "platform/posix/direct_io.h"
#include "platform/posix/drives.h"
#include "platform/posix/write_guard.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int descriptor_of(HANDLE handle)
{
    return static_cast<int>(reinterpret_cast<std::intptr_t>(handle));
}

HANDLE handle_of(int descriptor)
{
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(descriptor));
}

HANDLE fail_open(int code)
{
    SetLastError(static_cast<DWORD>(code));
    return INVALID_HANDLE_VALUE;
}

int open_flags(DWORD access, DWORD disposition)
{
    int flags = O_CLOEXEC;
    bool reads = (access & GENERIC_READ) != 0;
    bool writes = (access & GENERIC_WRITE) != 0;
    // No access at all asks only whether the object is there, as on Windows: a path
    // descriptor needs no read right and never waits for a FIFO's peer.
    if (!reads && !writes)
        return flags | O_PATH;
    flags |= reads && writes ? O_RDWR : writes ? O_WRONLY : O_RDONLY;
    switch (disposition) {
    case CREATE_NEW:
        return flags | O_CREAT | O_EXCL;
    case CREATE_ALWAYS:
        return flags | O_CREAT | O_TRUNC;
    case OPEN_ALWAYS:
        return flags | O_CREAT;
    case TRUNCATE_EXISTING:
        return flags | O_TRUNC;
    default:
        return flags;
    }
}

// Makes the calls that follow on `descriptor` wait as usual. (A path descriptor has no
// such flag: it is never read or written.)
bool clear_nonblocking(int descriptor)
{
    int status_flags = fcntl(descriptor, F_GETFL);
    return status_flags >= 0 && fcntl(descriptor, F_SETFL, status_flags & ~O_NONBLOCK) == 0;
}

// Descriptors 0, 1 and 2 are the program's console. Started with one of them closed, the
// first file or drive it opened would take that number, and the progress text would be
// written onto the drive or the drive's bytes read as a key. So before main runs, each
// closed one is opened on /dev/null; nothing else is ever given those numbers.
__attribute__((constructor)) void keep_standard_descriptors_taken()
{
    for (int descriptor = STDIN_FILENO; descriptor <= STDERR_FILENO; ++descriptor) {
        if (fcntl(descriptor, F_GETFD) >= 0 || errno != EBADF)
            continue;
        int opened = open("/dev/null", descriptor == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        // Opened on the lowest free number, which is this one; anything else is not ours
        // to keep. Without /dev/null there is no safe way on: end before opening anything.
        if (opened != descriptor) {
            if (opened >= 0)
                close(opened);
            _exit(127);
        }
    }
}

}  // namespace

// Sharing has no counterpart in POSIX open and is not enforced; security attributes,
// flags beyond the attribute and templates are not supported and are ignored.
HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD /*share_mode*/,
                   LPSECURITY_ATTRIBUTES /*security*/, DWORD disposition,
                   DWORD /*flags_and_attributes*/, HANDLE /*template_file*/)
{
    char device_path[PATH_MAX];
    bool is_drive = is_device_name(name);
    if (is_drive) {
        if (!resolve_physical_drive(name, VORLENT_SYS_BLOCK_ROOT, VORLENT_DEV_ROOT, device_path,
                                    sizeof device_path))
            return fail_open(ENOENT);
        name = device_path;
    }
    // Opened without waiting, so a FIFO with no peer cannot hang the open (a write-only one
    // fails with ENXIO instead); the calls that follow block as usual.
    int flags = open_flags(access, disposition);
    int descriptor = open(name, flags | O_NONBLOCK, 0666);
    if (descriptor < 0)
        return fail_open(errno);
    if ((flags & O_PATH) == 0 && !clear_nonblocking(descriptor)) {
        int code = errno;
        close(descriptor);
        return fail_open(code);
    }
    // Windows refuses to open a directory as a file; so does the port, even for reading.
    struct stat info = {};
    if (fstat(descriptor, &info) == 0 && S_ISDIR(info.st_mode)) {
        close(descriptor);
        return fail_open(EISDIR);
    }
    if ((access & GENERIC_WRITE) != 0)
        guard_block_device_writes(descriptor, system_roots());
    // A drive bypasses the cache, as on Windows; an image file given as a drive does not.
    if (is_drive && S_ISBLK(info.st_mode))
        start_direct_io(descriptor);
    return handle_of(descriptor);
}

// Only files and block devices have a size. A pipe, FIFO, socket or character device
// would report 0, and a Load of "the whole file" would then copy nothing and claim
// success; such a source fails here with ESPIPE instead.
DWORD GetFileSize(HANDLE file, LPDWORD size_high)
{
    int descriptor = descriptor_of(file);
    struct stat info;
    if (fstat(descriptor, &info) != 0) {
        SetLastError(static_cast<DWORD>(errno));
        return INVALID_FILE_SIZE;
    }
    std::uint64_t size = static_cast<std::uint64_t>(info.st_size);
    if (S_ISBLK(info.st_mode)) {
        // A block device reports no size in its status; its end does.
        off_t position = lseek(descriptor, 0, SEEK_CUR);
        off_t end = position < 0 ? -1 : lseek(descriptor, 0, SEEK_END);
        if (end < 0 || lseek(descriptor, position, SEEK_SET) < 0) {
            SetLastError(static_cast<DWORD>(errno));
            return INVALID_FILE_SIZE;
        }
        size = static_cast<std::uint64_t>(end);
    } else if (!S_ISREG(info.st_mode)) {
        SetLastError(static_cast<DWORD>(ESPIPE));
        return INVALID_FILE_SIZE;
    }
    if (size_high != nullptr)
        *size_high = static_cast<DWORD>(size >> 32);
    // Windows clears the last error here, so a size whose low part equals
    // INVALID_FILE_SIZE can be told from a failure.
    SetLastError(NO_ERROR);
    return static_cast<DWORD>(size);
}

BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, PLARGE_INTEGER new_position,
                      DWORD move_method)
{
    int whence = move_method == FILE_BEGIN ? SEEK_SET : move_method == 1 ? SEEK_CUR : SEEK_END;
    off_t position = lseek(descriptor_of(file), static_cast<off_t>(distance.QuadPart), whence);
    if (position < 0) {
        SetLastError(static_cast<DWORD>(errno));
        return FALSE;
    }
    if (new_position != nullptr)
        new_position->QuadPart = static_cast<std::int64_t>(position);
    return TRUE;
}

// Reads until the count is done, the source ends (success with a smaller count) or an
// error occurs; an interrupted or partial read is continued, never surfaced.
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD to_read, LPDWORD read_count,
              LPOVERLAPPED /*overlapped*/)
{
    char* bytes = static_cast<char*>(buffer);
    DWORD done = 0;
    while (done < to_read) {
        ssize_t got = read_some(descriptor_of(file), bytes + done, to_read - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            *read_count = done;
            SetLastError(static_cast<DWORD>(errno));
            return FALSE;
        }
        if (got == 0)
            break;
        done += static_cast<DWORD>(got);
    }
    *read_count = done;
    return TRUE;
}

// Writes until the count is done or an error occurs; a full device shows as ENOSPC. A
// write that would touch a part of a drive in use fails whole, before any byte is written.
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD to_write, LPDWORD written,
               LPOVERLAPPED /*overlapped*/)
{
    if (!write_is_allowed(descriptor_of(file), to_write)) {
        *written = 0;
        return FALSE;
    }
    const char* bytes = static_cast<const char*>(buffer);
    DWORD done = 0;
    while (done < to_write) {
        ssize_t put = write_some(descriptor_of(file), bytes + done, to_write - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0) {
            *written = done;
            SetLastError(static_cast<DWORD>(put < 0 ? errno : ENOSPC));
            return FALSE;
        }
        done += static_cast<DWORD>(put);
    }
    *written = done;
    return TRUE;
}

// Waits until the bytes written are stored, so a failure to store them is reported here
// rather than lost after the program has claimed success. Pipes, FIFOs, sockets and
// character devices hold nothing to store (fsync gives EINVAL or EROFS for them), so they
// count as flushed.
BOOL FlushFileBuffers(HANDLE file)
{
    int result;
    do
        result = fsync(descriptor_of(file));
    while (result != 0 && errno == EINTR);
    if (result != 0 && errno != EINVAL && errno != EROFS) {
        SetLastError(static_cast<DWORD>(errno));
        return FALSE;
    }
    return TRUE;
}

BOOL CloseHandle(HANDLE object)
{
    end_drive_guard(descriptor_of(object));
    end_direct_io(descriptor_of(object));
    if (close(descriptor_of(object)) != 0) {
        SetLastError(static_cast<DWORD>(errno));
        return FALSE;
    }
    return TRUE;
}
