// The port's file services on real files, pipes and sockets: what the transfer runs rely
// on when they open, size, position, read and write.
#include "platform/posix/api.h"
#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <pthread.h>
#include <sys/fsuid.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

HANDLE open_file(const std::string& name, DWORD access, DWORD disposition)
{
    return CreateFileA(name.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

HANDLE handle_of(int descriptor)
{
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(descriptor));
}

std::string pattern_bytes(std::size_t size)
{
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 131 + i / 251) & 0xFF);
    return bytes;
}

// Counts the signals that interrupt blocking calls: no SA_RESTART, so a blocked read or
// write returns EINTR (or a partial count) and the port must carry on by itself.
std::atomic<int> interruptions{0};

void count_interruption(int)
{
    interruptions.fetch_add(1);
}

struct InterruptingSignal {
    struct sigaction previous;
    InterruptingSignal()
    {
        struct sigaction action = {};
        action.sa_handler = count_interruption;
        sigemptyset(&action.sa_mask);
        sigaction(SIGUSR1, &action, &previous);
    }
    ~InterruptingSignal() { sigaction(SIGUSR1, &previous, nullptr); }
};

class FileServices : public ::testing::Test {
protected:
    ScratchDir dir;
};

TEST_F(FileServices, OpenExistingOfAMissingFileFailsWithNotFoundAndCreatesNothing)
{
    SetLastError(NO_ERROR);
    EXPECT_EQ(open_file(dir / "missing", GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ENOENT));
    EXPECT_FALSE(std::filesystem::exists(dir / "missing"));
}

TEST_F(FileServices, CreateAlwaysMakesTheFileWithMode0666LessUmaskAndEmptiesAnExistingOne)
{
    mode_t previous = umask(027);
    HANDLE file = open_file(dir / "new", GENERIC_WRITE, CREATE_ALWAYS);
    umask(previous);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    struct stat info;
    ASSERT_EQ(stat((dir / "new").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    CloseHandle(file);

    write_whole_file(dir / "new", "old contents");
    file = open_file(dir / "new", GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    EXPECT_EQ(read_whole_file(dir / "new"), "");
}

TEST_F(FileServices, AccessDecidesWhetherAHandleMayReadOrWriteAndOpenExistingKeepsTheBytes)
{
    write_whole_file(dir / "f", "abc");
    char byte = 0;
    DWORD count = 99;

    HANDLE reader = open_file(dir / "f", GENERIC_READ, OPEN_EXISTING);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(WriteFile(reader, "X", 1, &count, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(EBADF));
    EXPECT_TRUE(ReadFile(reader, &byte, 1, &count, nullptr));
    CloseHandle(reader);

    HANDLE writer = open_file(dir / "f", GENERIC_WRITE, OPEN_EXISTING);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(ReadFile(writer, &byte, 1, &count, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(EBADF));
    EXPECT_TRUE(WriteFile(writer, "X", 1, &count, nullptr));
    CloseHandle(writer);

    HANDLE both = open_file(dir / "f", GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
    ASSERT_NE(both, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(ReadFile(both, &byte, 1, &count, nullptr));
    EXPECT_EQ(byte, 'X');
    EXPECT_TRUE(WriteFile(both, "Y", 1, &count, nullptr));
    CloseHandle(both);
    EXPECT_EQ(read_whole_file(dir / "f"), "XYc");

    // No access only finds the object: even a file of mode 0 opens, and nothing moves.
    chmod((dir / "f").c_str(), 0);
    HANDLE finder = open_file(dir / "f", 0, OPEN_EXISTING);
    ASSERT_NE(finder, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(ReadFile(finder, &byte, 1, &count, nullptr));
    EXPECT_FALSE(WriteFile(finder, "Z", 1, &count, nullptr));
    CloseHandle(finder);
    chmod((dir / "f").c_str(), 0600);  // so that a user other than root can read it back
    EXPECT_EQ(read_whole_file(dir / "f"), "XYc");
    EXPECT_EQ(open_file(dir / "missing", 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ENOENT));
}

TEST_F(FileServices, AReadOnlyFileCannotBeOpenedForWriting)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "root may write any file";
    write_whole_file(dir / "ro", "abc");
    chmod((dir / "ro").c_str(), 0444);
    EXPECT_EQ(open_file(dir / "ro", GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(EACCES));
}

TEST_F(FileServices, ADirectoryIsRefusedForEveryAccess)
{
    const DWORD accesses[] = {GENERIC_READ, GENERIC_WRITE, GENERIC_READ | GENERIC_WRITE};
    for (DWORD access : accesses) {
        SetLastError(NO_ERROR);
        EXPECT_EQ(open_file(dir.path, access, OPEN_EXISTING), INVALID_HANDLE_VALUE) << access;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(EISDIR)) << access;
    }
    EXPECT_EQ(open_file(dir.path, GENERIC_WRITE, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(EISDIR));
}

// The device namespace holds no ordinary files: even a file that happens to carry such a
// name in the working directory is never opened or created.
TEST_F(FileServices, DeviceNamesOtherThanPhysicalDrivesNameNothing)
{
    std::string cwd = std::filesystem::current_path().string();
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
    write_whole_file("\\\\.\\C:", "an ordinary file");
    const char* names[] = {"\\\\.\\C:", "\\\\.\\physicaldrive", "\\\\.\\physicaldriveX",
                           "\\\\.\\physicaldrive99999", "\\\\.\\PIPE\\x"};
    for (const char* name : names) {
        SetLastError(NO_ERROR);
        EXPECT_EQ(open_file(name, GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE) << name;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ENOENT)) << name;
    }
    EXPECT_EQ(open_file("\\\\.\\new", GENERIC_WRITE, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(std::filesystem::exists("\\\\.\\new"));
    ASSERT_EQ(chdir(cwd.c_str()), 0);
}

// Save probes its output name for reading before it asks anything. Were that open to wait
// for a FIFO's writer, a run with no input would hang on a file named "out.fifo".
TEST_F(FileServices, OpeningAFifoWithNoWriterDoesNotWait)
{
    ASSERT_EQ(mkfifo((dir / "out.fifo").c_str(), 0666), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(2);  // a wait past this ends the child by SIGALRM instead of hanging the test
        open_file(dir / "out.fifo", GENERIC_READ, OPEN_EXISTING);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status)) << "the open was still waiting after 2 seconds";
}

TEST_F(FileServices, AReadPastTheEndSucceedsShortAndTheNextStartsWhereItStopped)
{
    std::string bytes = pattern_bytes(1000);
    write_whole_file(dir / "f", bytes);
    HANDLE file = open_file(dir / "f", GENERIC_READ, OPEN_EXISTING);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    std::string buffer(4096, '\0');
    DWORD count = 0;
    ASSERT_TRUE(ReadFile(file, buffer.data(), 400, &count, nullptr));
    EXPECT_EQ(count, 400u);
    ASSERT_TRUE(ReadFile(file, buffer.data() + 400, 4096 - 400, &count, nullptr));
    EXPECT_EQ(count, 600u);
    EXPECT_EQ(buffer.substr(0, 1000), bytes);
    ASSERT_TRUE(ReadFile(file, buffer.data(), 10, &count, nullptr));
    EXPECT_EQ(count, 0u);
    CloseHandle(file);
}

// A pipe hands over what its writer has so far; the read still completes its count.
TEST_F(FileServices, AReadFromAPipeFedInPiecesCompletesTheCountDespiteSignals)
{
    InterruptingSignal signal;
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    std::string bytes = pattern_bytes(30000);
    pthread_t reader = pthread_self();
    interruptions = 0;
    std::thread feeder([&] {
        for (std::size_t at = 0; at < bytes.size(); at += 7000) {
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
            pthread_kill(reader, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
            std::size_t piece = std::min<std::size_t>(7000, bytes.size() - at);
            ASSERT_EQ(write(ends[1], bytes.data() + at, piece), static_cast<ssize_t>(piece));
        }
        close(ends[1]);
    });
    std::string buffer(40000, '\0');
    DWORD count = 0;
    EXPECT_TRUE(ReadFile(handle_of(ends[0]), buffer.data(), 30000, &count, nullptr));
    EXPECT_EQ(count, 30000u);
    EXPECT_EQ(buffer.substr(0, 30000), bytes);
    // The writer is gone: what is left is a short read of nothing, still a success.
    EXPECT_TRUE(ReadFile(handle_of(ends[0]), buffer.data(), 100, &count, nullptr));
    EXPECT_EQ(count, 0u);
    feeder.join();
    close(ends[0]);
    EXPECT_GT(interruptions.load(), 0);
}

// A socket takes a large write in pieces as its reader drains it; the write carries on
// through partial counts and interruptions until the whole count is done.
TEST_F(FileServices, AWriteIntoASocketDrainedInPiecesCompletesTheCountDespiteSignals)
{
    InterruptingSignal signal;
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    std::string bytes = pattern_bytes(1024000);
    std::string received;
    pthread_t writer = pthread_self();
    interruptions = 0;
    std::thread drainer([&] {
        char piece[9000];
        for (;;) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            pthread_kill(writer, SIGUSR1);
            ssize_t got = read(ends[1], piece, sizeof piece);
            if (got <= 0)
                break;
            received.append(piece, static_cast<std::size_t>(got));
        }
    });
    DWORD count = 0;
    EXPECT_TRUE(WriteFile(handle_of(ends[0]), bytes.data(), static_cast<DWORD>(bytes.size()),
                          &count, nullptr));
    EXPECT_EQ(count, bytes.size());
    shutdown(ends[0], SHUT_WR);
    drainer.join();
    close(ends[0]);
    close(ends[1]);
    EXPECT_TRUE(received == bytes) << "received " << received.size() << " bytes";
    EXPECT_GT(interruptions.load(), 0);
}

TEST_F(FileServices, FileSizeGivesLowAndHighPartsAndClearsTheLastError)
{
    struct Case {
        std::uint64_t size;
        DWORD low, high;
    };
    // 0xFFFFFFFF is a size, not a failure: the cleared last error tells them apart.
    // An empty file has a size too: 0.
    const Case cases[] = {{0, 0, 0},
                          {5000, 5000, 0},
                          {0xFFFFFFFFull, 0xFFFFFFFFu, 0},
                          {0x100000000ull + 10, 10, 1}};
    for (const Case& c : cases) {
        std::string name = dir / "sized";
        write_whole_file(name, "");
        ASSERT_EQ(truncate(name.c_str(), static_cast<off_t>(c.size)), 0);
        HANDLE file = open_file(name, GENERIC_READ, OPEN_EXISTING);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        SetLastError(EIO);
        DWORD high = 99;
        EXPECT_EQ(GetFileSize(file, &high), c.low) << c.size;
        EXPECT_EQ(high, c.high) << c.size;
        EXPECT_EQ(GetLastError(), NO_ERROR) << c.size;
        CloseHandle(file);
    }
}

// A pipe, FIFO, socket or character device has no size, nor has a file of procfs or sysfs,
// which reports 0 or a page whatever it holds: were that taken as its size, a Load of "the
// whole file" from it would copy nothing, or a made-up length, and claim success.
TEST_F(FileServices, FileSizeFailsWithItsReasonForWhatHasNoSize)
{
    int pipe_ends[2], sockets[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sockets), 0);
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0666), 0);
    HANDLE fifo = open_file(dir / "fifo", GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
    HANDLE null_device = open_file("/dev/null", GENERIC_READ, OPEN_EXISTING);
    HANDLE procfs_file = open_file("/proc/self/status", GENERIC_READ, OPEN_EXISTING);
    HANDLE sysfs_file = open_file("/sys/kernel/uevent_seqnum", GENERIC_READ, OPEN_EXISTING);
    int closed = dup(STDIN_FILENO);
    close(closed);
    struct Case {
        const char* what;
        HANDLE handle;
        int code;
    };
    const Case cases[] = {{"pipe", handle_of(pipe_ends[0]), ESPIPE},
                          {"FIFO", fifo, ESPIPE},
                          {"socket", handle_of(sockets[0]), ESPIPE},
                          {"character device", null_device, ESPIPE},
                          {"procfs file", procfs_file, ESPIPE},
                          {"sysfs file", sysfs_file, ESPIPE},
                          {"closed handle", handle_of(closed), EBADF}};
    for (const Case& c : cases) {
        SetLastError(NO_ERROR);
        DWORD high = 0;
        EXPECT_EQ(GetFileSize(c.handle, &high), INVALID_FILE_SIZE) << c.what;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(c.code)) << c.what;
    }
    for (HANDLE handle : {fifo, null_device, procfs_file, sysfs_file})
        CloseHandle(handle);
    for (int descriptor : {pipe_ends[0], pipe_ends[1], sockets[0], sockets[1]})
        close(descriptor);
}

// The error every fsync of an object of type `injected_type` fails with; 0: none fails.
int injected_fsync_error = 0;
mode_t injected_type = 0;
// What stored a new file's name: the inode of the folder fsync flushed, or "syncfs".
std::string name_stored_by;
// The error every sync_file_range fails with; 0: none fails.
int injected_range_error = 0;

}  // namespace

// Stand in for the C library's calls in this test program, the port's calls included.
extern "C" int fsync(int descriptor)
{
    struct stat info;
    if (fstat(descriptor, &info) == 0 && S_ISDIR(info.st_mode))
        name_stored_by = std::to_string(info.st_ino);
    if (injected_fsync_error != 0 && fstat(descriptor, &info) == 0 &&
        (info.st_mode & S_IFMT) == injected_type) {
        errno = injected_fsync_error;
        return -1;
    }
    return static_cast<int>(syscall(SYS_fsync, descriptor));
}

extern "C" int syncfs(int descriptor)
{
    name_stored_by = "syncfs";
    return static_cast<int>(syscall(SYS_syncfs, descriptor));
}

extern "C" int sync_file_range(int descriptor, off64_t offset, off64_t count, unsigned int flags)
{
    errno = injected_range_error;
    if (errno != 0)
        return -1;
    return static_cast<int>(syscall(SYS_sync_file_range, descriptor, offset, count, flags));
}

namespace {

std::string inode_of(const std::string& name)
{
    struct stat info = {};
    stat(name.c_str(), &info);
    return std::to_string(info.st_ino);
}

// Only what holds bytes to store can fail to store them: a pipe, socket or character
// device counts as flushed whatever fsync says, so a Save into a pipe or /dev/null still
// completes. A file that could not be stored, as on a file system that turned read-only,
// has failed, whatever the error. A new file's name is stored in the folder that holds
// it, where links lead; a folder its user may not read is stored with its file system.
TEST_F(FileServices, AFlushFailsWithItsErrorUnlessTheObjectStoresNothing)
{
    int pipe_ends[2], sockets[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sockets), 0);
    HANDLE file = open_file(dir / "f", GENERIC_WRITE, CREATE_ALWAYS);
    HANDLE null_device = open_file("/dev/null", GENERIC_WRITE, OPEN_EXISTING);
    DWORD count = 0;
    ASSERT_TRUE(WriteFile(file, "abc", 3, &count, nullptr));
    // a/to-c leads to c/to-b by its full path, and that to ../b/out, which the open makes.
    for (const char* folder : {"a", "b", "c"})
        ASSERT_EQ(mkdir((dir / folder).c_str(), 0755), 0);
    ASSERT_EQ(symlink((dir / "c/to-b").c_str(), (dir / "a/to-c").c_str()), 0);
    ASSERT_EQ(symlink("../b/out", (dir / "c/to-b").c_str()), 0);
    HANDLE linked = open_file(dir / "a/to-c", GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_EQ(mkdir((dir / "w").c_str(), 0333), 0);
    HANDLE unreadable = open_file(dir / "w/out", GENERIC_WRITE, CREATE_ALWAYS);
    struct Case {
        HANDLE handle;
        mode_t type;
        int injected;  // 0: fsync as the system gives it
        bool flushed;
        std::string name_stored_by;  // as name_stored_by is to be; "": not stored
        bool by_other_user = false;  // one who may write the folder but not read it
    };
    const Case cases[] = {{file, S_IFREG, 0, true, inode_of(dir.path)},
                          {file, S_IFREG, EROFS, false, ""},
                          {file, S_IFREG, EINVAL, false, ""},
                          {linked, S_IFREG, 0, true, inode_of(dir / "b")},
                          {unreadable, S_IFREG, 0, true, "syncfs", true},
                          {handle_of(pipe_ends[1]), S_IFIFO, EINVAL, true, ""},
                          {handle_of(sockets[0]), S_IFSOCK, EINVAL, true, ""},
                          {null_device, S_IFCHR, EROFS, true, ""}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.type) + " " + std::to_string(c.injected) + " " +
                     c.name_stored_by);
        injected_type = c.type;
        injected_fsync_error = c.injected;
        name_stored_by.clear();
        if (c.by_other_user && geteuid() == 0)
            setfsuid(65534);  // root may read any folder; nobody may not read w
        EXPECT_EQ(FlushFileBuffers(c.handle) != 0, c.flushed);
        setfsuid(geteuid());
        injected_fsync_error = 0;
        if (!c.flushed) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(c.injected));
        }
        EXPECT_EQ(name_stored_by, c.name_stored_by);
    }
    CloseHandle(file);
    CloseHandle(linked);
    CloseHandle(unreadable);
    CloseHandle(null_device);
    chmod((dir / "w").c_str(), 0755);  // so that a user other than root can remove it
    for (int descriptor : {pipe_ends[0], pipe_ends[1], sockets[0], sockets[1]})
        close(descriptor);

    int closed = dup(STDIN_FILENO);
    close(closed);
    EXPECT_FALSE(FlushFileBuffers(handle_of(closed)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(EBADF));
}

// A failure to store a write's bytes fails the write, as the flush would not report it
// again; where the file system cannot be asked, the same bytes go through the cache alone.
TEST_F(FileServices, AWriteFailsWhenItsBytesCannotBeStoredAndGoesOnWhereNoOneCanBeAsked)
{
    std::string bytes = pattern_bytes(3 * 8192);
    for (int injected : {EIO, ENOSPC, EINVAL, ESPIPE}) {
        SCOPED_TRACE(injected);
        bool stored = injected == EINVAL || injected == ESPIPE;
        HANDLE file = open_file(dir / "f", GENERIC_WRITE, CREATE_ALWAYS);
        injected_range_error = injected;
        bool written = true;
        DWORD count = 0;
        for (std::size_t at = 0; at < bytes.size() && written; at += 8192)
            written = WriteFile(file, bytes.data() + at, 8192, &count, nullptr) != 0;
        injected_range_error = 0;
        EXPECT_EQ(written ? 0 : static_cast<int>(GetLastError()), stored ? 0 : injected);
        EXPECT_EQ(stored && FlushFileBuffers(file) && read_whole_file(dir / "f") == bytes, stored);
        CloseHandle(file);
    }
}

TEST_F(FileServices, SetFilePointerExPlacesTheNextReadAndWriteWith64BitOffsets)
{
    std::string bytes = pattern_bytes(3000);
    write_whole_file(dir / "f", bytes);
    HANDLE file = open_file(dir / "f", GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);

    LARGE_INTEGER offset;
    offset.QuadPart = 1536;
    ASSERT_TRUE(SetFilePointerEx(file, offset, nullptr, FILE_BEGIN));
    std::string buffer(1000, '\0');
    DWORD count = 0;
    ASSERT_TRUE(ReadFile(file, buffer.data(), 1000, &count, nullptr));
    EXPECT_EQ(buffer, bytes.substr(1536, 1000));

    // Sector 4,294,967,295 lies past 2 TiB: the offset must not be cut to 32 bits.
    offset.QuadPart = 4294967295LL * 512;
    LARGE_INTEGER reached;
    reached.QuadPart = 0;
    ASSERT_TRUE(SetFilePointerEx(file, offset, &reached, FILE_BEGIN));
    EXPECT_EQ(reached.QuadPart, 4294967295LL * 512);
    offset.QuadPart = 0x100000000LL + 512;
    ASSERT_TRUE(SetFilePointerEx(file, offset, &reached, FILE_BEGIN));
    ASSERT_TRUE(WriteFile(file, "Z", 1, &count, nullptr));
    DWORD high = 0;
    EXPECT_EQ(GetFileSize(file, &high), 513u);
    EXPECT_EQ(high, 1u);

    offset.QuadPart = -1;
    EXPECT_FALSE(SetFilePointerEx(file, offset, nullptr, FILE_BEGIN));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(EINVAL));
    CloseHandle(file);
}

}  // namespace
