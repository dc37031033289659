// Failures the operating system raises itself, end to end: a file system that fills up
// during a Save, and a Load from a file the user may only read. The program under test is
// built with its drive tree under this build directory, where "drives" are image files.
#include "small_file_system.h"
#include "transfer/transfer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <grp.h>
#include <iterator>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// Exit status of a child that could not take on the unprivileged user or reach the
// program and the drive as that user: the test cannot say anything then.
const int CHILD_CANNOT_RUN = 125;

struct ProgramRun {
    int exit_status;  // -1 when the program did not end normally
    std::string output;
};

std::vector<unsigned char> pattern(std::size_t count, unsigned seed)
{
    std::vector<unsigned char> bytes(count);
    unsigned value = seed * 2654435761u + 1;
    for (unsigned char& byte : bytes) {
        value = value * 1664525u + 1013904223u;
        byte = static_cast<unsigned char>(value >> 24);
    }
    return bytes;
}

void write_bytes(const std::string& path, const std::vector<unsigned char>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << path;
}

std::vector<unsigned char> read_bytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in),
                                      std::istreambuf_iterator<char>());
}

std::string real_path(const std::string& path)
{
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? resolved : "";
}

// The program may write to drive `name` only if it is the test's own image file.
void expect_drive_is_image(const std::string& name)
{
    std::string image = std::string(FAULTS_IMAGES) + "/" + name + ".img";
    struct stat info;
    ASSERT_EQ(stat(image.c_str(), &info), 0) << image;
    ASSERT_TRUE(S_ISREG(info.st_mode)) << image;
    ASSERT_EQ(real_path(std::string(FAULTS_ROOTS) + "/dev/" + name), real_path(image));
}

// Writes the image of drive `name`, writable by every user (so the tests that run the
// program as nobody may write it too), and returns its path.
std::string write_drive_image(const std::string& name, const std::vector<unsigned char>& bytes)
{
    std::string image = std::string(FAULTS_IMAGES) + "/" + name + ".img";
    write_bytes(image, bytes);
    chmod(image.c_str(), 0666);
    return image;
}

std::string make_temp_dir()
{
    std::string pattern_text = std::string(FAULTS_WORK_DIR) + "/tmp-XXXXXX";
    std::vector<char> name(pattern_text.begin(), pattern_text.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr)
        return "";
    chmod(name.data(), 0755);
    return name.data();
}

// Runs the program with standard input at its end, so every key wait ends at once. With
// `as_nobody`, the program runs as nobody, once the child, as nobody, has found the setting
// the test needs (`as_nobody` says whether it holds); otherwise the child ends with
// CHILD_CANNOT_RUN. With a `tracer`, that command runs the program.
ProgramRun run_program(std::vector<std::string> arguments,
                       const std::function<bool()>& as_nobody = nullptr,
                       std::vector<std::string> tracer = {})
{
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0)
        return {-1, "pipe failed"};
    pid_t child = fork();
    if (child == 0) {
        dup2(pipe_ends[1], STDOUT_FILENO);
        close(pipe_ends[0]);
        close(pipe_ends[1]);
        int nothing = open("/dev/null", O_RDONLY);
        dup2(nothing, STDIN_FILENO);
        // The program keeps its copy buffer and error text until it ends, by design.
        setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
        if (as_nobody) {
            passwd* nobody = getpwnam("nobody");
            if (nobody == nullptr || setgroups(0, nullptr) != 0 ||
                setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0)
                _exit(CHILD_CANNOT_RUN);
            if (access(FAULTS_PROGRAM, X_OK) != 0 || !as_nobody())
                _exit(CHILD_CANNOT_RUN);
        }
        std::vector<char*> argv;
        for (std::string& word : tracer)
            argv.push_back(&word[0]);
        std::string program = FAULTS_PROGRAM;
        argv.push_back(&program[0]);
        for (std::string& argument : arguments)
            argv.push_back(&argument[0]);
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(pipe_ends[1]);
    ProgramRun run = {-1, ""};
    char buffer[4096];
    ssize_t got;
    while ((got = read(pipe_ends[0], buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR))
        run.output.append(buffer, got > 0 ? static_cast<std::size_t>(got) : 0);
    close(pipe_ends[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFEXITED(status))
        run.exit_status = WEXITSTATUS(status);
    return run;
}

TEST(FullFileSystem, SaveReportsNoSpaceAndKeepsTheChunksWrittenBefore)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "mounting a small file system needs root";
    const DWORD length = 5 * CHUNK_SIZE;
    std::vector<unsigned char> drive = pattern(length + 4096, 3);
    write_drive_image("fault0", drive);
    expect_drive_is_image("fault0");

    SmallFileSystem small;
    small.dir = make_temp_dir();
    ASSERT_FALSE(small.dir.empty());
    // 3 MiB takes three chunks whole and part of the fourth.
    if (!small.mount_sized("3m"))
        GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);

    std::string output_file = small.dir + "/out.bin";
    ProgramRun run = run_program({"-S", "0", output_file, "0", std::to_string(length)});
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.output, "Read 1024000 bytes\rRead 2048000 bytes\rRead 3072000 bytes\r"
                          "Error No space left on device\n\nPress any key to exit");

    // The file is the drive's first bytes: the three chunks written before the failure and
    // whatever part of the fourth the file system took before it was full; nothing else.
    std::vector<unsigned char> saved = read_bytes(output_file);
    EXPECT_GE(saved.size(), 3 * CHUNK_SIZE);
    EXPECT_LT(saved.size(), 4 * CHUNK_SIZE);
    ASSERT_LE(saved.size(), drive.size());
    EXPECT_TRUE(std::equal(saved.begin(), saved.end(), drive.begin()))
        << "the saved file is not the start of the drive";
}

TEST(ReadOnlyFile, LoadIsRefusedAndTheDriveIsUntouched)
{
    std::vector<unsigned char> drive = pattern(8192, 5);
    std::string drive_image = write_drive_image("fault1", drive);
    expect_drive_is_image("fault1");

    std::string dir = make_temp_dir();
    ASSERT_FALSE(dir.empty());
    std::string source = dir + "/source.bin";
    write_bytes(source, pattern(4096, 9));
    ASSERT_EQ(chmod(source.c_str(), 0444), 0);

    // Root may write whatever its modes say, so the refusal is shown as nobody, who may
    // read the file but not write it, and may write the drive.
    std::string drive_link = std::string(FAULTS_ROOTS) + "/dev/fault1";
    std::function<bool()> setting = [&] {
        return access(source.c_str(), R_OK) == 0 && access(source.c_str(), W_OK) != 0 &&
               access(drive_link.c_str(), W_OK) == 0;
    };
    ProgramRun run = run_program({"-L", "1", source}, geteuid() == 0 ? setting : nullptr);
    unlink(source.c_str());
    rmdir(dir.c_str());
    if (run.exit_status == CHILD_CANNOT_RUN)
        GTEST_SKIP() << "nobody cannot reach the program or the drive image in this build tree";

    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.output, "Error Permission denied\n\nPress any key to exit");
    EXPECT_EQ(read_bytes(drive_image), drive);
}

// Windows would show the question for a file it may only write; a probe that needed read
// access took such a file for no file and replaced it unasked.
TEST(UnreadableFile, AnExistingFileTheUserCannotReadStillGetsTheQuestion)
{
    write_drive_image("fault0", pattern(4096, 13));
    expect_drive_is_image("fault0");

    std::string dir = make_temp_dir();
    ASSERT_FALSE(dir.empty());
    std::string kept = dir + "/kept.bin";
    write_bytes(kept, pattern(100, 15));
    ASSERT_EQ(chmod(kept.c_str(), 0200), 0);
    // Root reads whatever its modes say, so the file belongs to nobody, who runs the Save.
    passwd* nobody = getpwnam("nobody");
    bool as_nobody = geteuid() == 0;
    if (as_nobody) {
        ASSERT_NE(nobody, nullptr);
        ASSERT_EQ(chown(kept.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    }
    std::string drive_link = std::string(FAULTS_ROOTS) + "/dev/fault0";
    std::function<bool()> setting = [&] {
        return access(kept.c_str(), W_OK) == 0 && access(kept.c_str(), R_OK) != 0 &&
               access(drive_link.c_str(), W_OK) == 0;
    };
    ProgramRun run = run_program({"-S", "0", kept}, as_nobody ? setting : nullptr);
    if (run.exit_status == CHILD_CANNOT_RUN)
        GTEST_SKIP() << "nobody cannot reach the program or the drive image in this build tree";

    EXPECT_EQ(run.exit_status, 0);
    // Standard input is at its end, which declines.
    EXPECT_EQ(run.output, "Press '1' if you sure, you want to replace existing file\n" + kept +
                              "\nor press any key to exit\n");
    chmod(kept.c_str(), 0600);
    EXPECT_EQ(read_bytes(kept), pattern(100, 15));
    unlink(kept.c_str());
    rmdir(dir.c_str());
}

// Between the writes and the flush the file system may turn read-only: the flush of the
// file, or that of its folder, which stores its name, then fails with EROFS. The file
// may be lost, so the Save must not claim success.
TEST(FailedFlush, SaveReportsAFileOrFolderThatCouldNotBeStored)
{
    if (std::system("strace -o /dev/null true >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "strace is missing or cannot trace here (sh tools/install-deps --tests)";
    write_drive_image("fault0", pattern(4096, 19));
    expect_drive_is_image("fault0");
    std::string dir = make_temp_dir();
    ASSERT_FALSE(dir.empty());
    // The first fsync is the file's, the second its folder's.
    for (const char* failing : {"1", "2"}) {
        SCOPED_TRACE(std::string("fsync ") + failing);
        std::string out = dir + "/out" + failing + ".bin";
        ProgramRun run = run_program({"-S", "0", out}, nullptr,
                                     {"strace", "-o", "/dev/null", "-e", "trace=fsync", "-e",
                                      std::string("inject=fsync:error=EROFS:when=") + failing});
        EXPECT_EQ(run.exit_status, 0);
        EXPECT_EQ(run.output,
                  "Read 512 bytes\rError Read-only file system\n\nPress any key to exit");
        unlink(out.c_str());
    }
    rmdir(dir.c_str());
}

// A pipe or a device such as /dev/zero has no size: "the whole file" is not a length, and
// taking it as 0 would copy nothing and claim success. With a Length they serve as usual.
TEST(SourceWithoutASize, LoadNeedsALengthAndIsRefusedWithoutOne)
{
    std::vector<unsigned char> drive = pattern(8192, 17);
    std::string drive_image = write_drive_image("fault1", drive);
    expect_drive_is_image("fault1");
    std::string dir = make_temp_dir();
    ASSERT_FALSE(dir.empty());
    std::string fifo = dir + "/source.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);

    for (const std::string& source : {fifo, std::string("/dev/zero")}) {
        SCOPED_TRACE(source);
        ProgramRun run = run_program({"-L", "1", source});
        EXPECT_EQ(run.exit_status, 0);
        EXPECT_EQ(run.output, "Error Illegal seek\n\nPress any key to exit");
        EXPECT_EQ(read_bytes(drive_image), drive);
    }

    ProgramRun run = run_program({"-L", "1", "/dev/zero", "0", "1000"});
    EXPECT_EQ(run.output, "Write 1000 bytes\rThe operation completed successfully\nPress any key "
                          "to exit");
    std::fill(drive.begin(), drive.begin() + 1000, 0);
    EXPECT_EQ(read_bytes(drive_image), drive);
    unlink(fifo.c_str());
    rmdir(dir.c_str());
}

}  // namespace
