// File and device services of the port: a handle is a file descriptor, and every
// failure leaves its errno as the last error.
#include "platform/posix/api.h"
#include "platform/posix/descriptor_list.h"
#include "platform/posix/direct_io.h"
#include "platform/posix/drives.h"
#include "platform/posix/write_back.h"
#include "platform/posix/guard/write_guard.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <linux/magic.h>
#include <string>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>
#include <vector>

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

// Windows has no SIGPIPE: writing to a console or pipe whose reader is gone just fails.
// Killed by it instead, a run would end between two chunks, unflushed and unreported.
__attribute__((constructor)) void ignore_broken_pipes()
{
    std::signal(SIGPIPE, SIG_IGN);
}

// A FIFO or pipe opened for reading and writing is its own writer, so its end never comes
// and a read past what its writer sent waits forever. Load opens its source for both, as
// a file is shared on Windows; such an object is opened for reading only (a write through
// it then fails with EBADF). A socket cannot be opened by name at all.
int flags_for_object(const char* name, int flags)
{
    struct stat info;
    if ((flags & O_ACCMODE) == O_RDWR && stat(name, &info) == 0 && S_ISFIFO(info.st_mode))
        return (flags & ~O_ACCMODE) | O_RDONLY;
    return flags;
}

// The files a creating open made, with their folders: on Linux a file's flush stores its
// bytes but not its name, so the folder is flushed with it.
struct CreatedFile {
    int descriptor;
    std::string folder;  // empty when the folder could not be found
};
std::vector<CreatedFile> created_files;

// Remembers the folder that holds `name`, a regular file just opened on `descriptor` by a
// creating open (nothing else is a new name that must be stored). Where the name is a
// symbolic link, the open made the file where the links lead, each relative one from its
// own folder, so the folder is that of the name resolved, found while the file is new.
void remember_created_file(int descriptor, const char* name)
{
    erase_entry(created_files, descriptor);
    std::string folder;
    if (char* resolved = realpath(name, nullptr)) {
        folder = resolved;
        std::free(resolved);
        std::size_t slash = folder.find_last_of('/');
        folder = slash == 0 ? "/" : folder.substr(0, slash);
    }
    created_files.push_back({descriptor, folder});
}

int fsync_uninterrupted(int descriptor)
{
    int result;
    do
        result = fsync(descriptor);
    while (result != 0 && errno == EINTR);
    return result;
}

// Stores the name of a file a creating open made by flushing its folder; true for every
// other descriptor. A folder that cannot be opened (one the user may write but not read,
// or one not found) cannot be flushed by itself, so the file's whole file system, which
// holds it, is flushed instead.
bool flush_folder_of(int descriptor)
{
    const CreatedFile* created = find_entry(created_files, descriptor);
    if (created == nullptr)
        return true;
    int folder = created->folder.empty()
                     ? -1
                     : open(created->folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool flushed = folder >= 0 ? fsync_uninterrupted(folder) == 0 : syncfs(descriptor) == 0;
    int code = errno;
    if (folder >= 0)
        close(folder);
    if (!flushed)
        SetLastError(static_cast<DWORD>(code));
    return flushed;
}

// Whether a regular file on the file system of `descriptor` tells its size. Those of
// procfs, sysfs and their kin are made when read: they report 0 or a page whatever
// they hold.
bool file_system_tells_sizes(int descriptor)
{
    struct statfs file_system;
    if (fstatfs(descriptor, &file_system) != 0)
        return true;
    switch (file_system.f_type) {
    case PROC_SUPER_MAGIC:
    case SYSFS_MAGIC:
    case DEBUGFS_MAGIC:
    case TRACEFS_MAGIC:
    case SECURITYFS_MAGIC:
    case CGROUP_SUPER_MAGIC:
    case CGROUP2_SUPER_MAGIC:
        return false;
    default:
        return true;
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
    int flags = flags_for_object(name, open_flags(access, disposition));
    int descriptor = open(name, flags | O_NONBLOCK, 0666);
    if (descriptor < 0)
        return fail_open(errno);
    if ((flags & O_PATH) == 0 && !clear_nonblocking(descriptor)) {
        int code = errno;
        close(descriptor);
        return fail_open(code);
    }
    // Windows refuses to open a directory as a file; so does the port, even for reading.
    // A FIFO put in place of the name after it was looked at: refused rather than waited on.
    struct stat info = {};
    if (fstat(descriptor, &info) == 0 &&
        (S_ISDIR(info.st_mode) || (S_ISFIFO(info.st_mode) && (flags & O_ACCMODE) == O_RDWR))) {
        close(descriptor);
        return fail_open(S_ISDIR(info.st_mode) ? EISDIR : EAGAIN);
    }
    if ((flags & O_CREAT) != 0 && S_ISREG(info.st_mode))
        remember_created_file(descriptor, name);
    if ((access & GENERIC_WRITE) != 0 && (S_ISREG(info.st_mode) || S_ISBLK(info.st_mode)))
        start_write_back(descriptor);
    if ((access & GENERIC_WRITE) != 0 && S_ISBLK(info.st_mode))
        guard_block_device_writes(descriptor, system_roots());
    // A drive bypasses the cache, as on Windows; an image file given as a drive does not.
    if (is_drive && S_ISBLK(info.st_mode))
        start_direct_io(descriptor);
    return handle_of(descriptor);
}

// Only files and block devices have a size. A pipe, FIFO, socket or character device
// would report 0, and a Load of "the whole file" would then copy nothing and claim
// success; such a source fails here with ESPIPE instead, as does a file of procfs or sysfs.
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
    } else if (!S_ISREG(info.st_mode) || !file_system_tells_sizes(descriptor)) {
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
// On a file or block device it returns once the bytes of the write before it are stored,
// and fails when the device could not store them.
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD to_write, LPDWORD written,
               LPOVERLAPPED /*overlapped*/)
{
    if (!write_is_allowed(descriptor_of(file), buffer, to_write)) {
        *written = 0;
        SetLastError(static_cast<DWORD>(errno));
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
    if (!write_back(descriptor_of(file), done)) {
        SetLastError(static_cast<DWORD>(errno));
        return FALSE;
    }
    return TRUE;
}

// Waits until the bytes written are stored, so a failure to store them is reported here
// rather than lost after the program has claimed success; for a file a creating open made,
// its name too. Pipes, FIFOs, sockets and character devices hold nothing to store (fsync
// gives EINVAL or EROFS for them), so they count as flushed; a file or block device that
// gives those has failed to store what it holds, as on a file system turned read-only.
BOOL FlushFileBuffers(HANDLE file)
{
    int descriptor = descriptor_of(file);
    if (fsync_uninterrupted(descriptor) != 0) {
        int code = errno;
        struct stat info;
        if (fstat(descriptor, &info) == 0 &&
            (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode) || S_ISCHR(info.st_mode)))
            return TRUE;
        SetLastError(static_cast<DWORD>(code));
        return FALSE;
    }
    return flush_folder_of(descriptor) ? TRUE : FALSE;
}

BOOL CloseHandle(HANDLE object)
{
    end_drive_guard(descriptor_of(object));
    end_direct_io(descriptor_of(object));
    end_write_back(descriptor_of(object));
    erase_entry(created_files, descriptor_of(object));
    if (close(descriptor_of(object)) != 0) {
        SetLastError(static_cast<DWORD>(errno));
        return FALSE;
    }
    return TRUE;
}
