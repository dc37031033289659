// The program on real block devices: loop devices over image files that these tests attach
// and detach themselves. The shipped program only ever reads here, and only after the drive
// number has been checked, right before the run, to reach the loop device over this test's
// image. Writes go through the test build, whose drive tree can reach nothing but that
// loop device. Without root or loop devices the cases skip.
#include "end_to_end.h"
#include "loop_device.h"

#include "platform/posix_api.h"
#include "platform/posix_drives.h"

#include <cstdio>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// The drive number under which the shipped program reaches `device`, or -1.
int shipped_drive_number_of(const std::string& device)
{
    for (int number = 0;; ++number) {
        std::string name = "\\\\.\\physicaldrive" + std::to_string(number);
        char path[4096];
        if (!resolve_physical_drive(name.c_str(), VORLENT_SYS_BLOCK_ROOT, VORLENT_DEV_ROOT, path,
                                    sizeof path))
            return -1;
        if (device == path)
            return number;
    }
}

class LoopDevices : public EndToEnd {
protected:
    LoopDevices() { backend = linux_backend(); }

    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "attaching loop devices needs root";
        if (output_of("command -v losetup").empty())
            GTEST_SKIP() << "no losetup";
        EndToEnd::SetUp();
    }

    // Attaches a loop device over an image of `bytes`; the caller skips when it is empty.
    std::string loop_image(const std::string& bytes)
    {
        write_whole_file(at("loop.img"), bytes);
        return at("loop.img");
    }
};

#define REQUIRE_LOOP(loop)                                                  \
    do {                                                                    \
        if ((loop).device.empty())                                          \
            GTEST_SKIP() << "no loop device could be attached";             \
        ASSERT_TRUE(is_loop_over((loop), at("loop.img"))) << (loop).device; \
    } while (0)

TEST_F(LoopDevices, TheShippedProgramSavesFromTheLoopDeviceItsNumberNames)
{
    std::string bytes = random_bytes(2 * 1024 * 1024, 40);
    LoopDevice loop(loop_image(bytes));
    REQUIRE_LOOP(loop);
    int number = shipped_drive_number_of(loop.device);
    ASSERT_GE(number, 0) << loop.device << " has no drive number";

    HANDLE device = CreateFileA(loop.device.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    DWORD high = 99;
    EXPECT_EQ(GetFileSize(device, &high), bytes.size());  // a block device's size is its end
    EXPECT_EQ(high, 0u);
    CloseHandle(device);

    struct Case {
        std::vector<std::string> arguments;
        std::size_t start, length;
    };
    std::string drive = std::to_string(number);
    const Case cases[] = {{{"-S", drive, "a.bin"}, 0, 512},
                          {{"-S", drive, "b.bin", "0", "3000"}, 0, 3000},
                          {{"-S", drive, "c.bin", "2", "1000"}, 1024, 1000}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.arguments));
        // Another device may have come or gone since: the number must still name ours.
        ASSERT_TRUE(is_loop_over(loop, at("loop.img")));
        ASSERT_EQ(shipped_drive_number_of(loop.device), number);
        std::vector<std::string> command = {VORLENT_SHIPPED_PROGRAM};
        command.insert(command.end(), c.arguments.begin(), c.arguments.end());
        ProgramRun saved = run_with_input(command, work.path, nullptr);
        EXPECT_TRUE(ended_with_status_0(saved));
        EXPECT_EQ(saved.output, progress("Read", {c.length}) + COMPLETED);
        EXPECT_TRUE(
            same_bytes(read_whole_file(at(c.arguments[2])), bytes.substr(c.start, c.length)));
    }
    EXPECT_TRUE(same_bytes(read_whole_file(at("loop.img")), bytes));
}

TEST_F(LoopDevices, LoadWritesOnlyTheLengthOntoTheDevice)
{
    std::string bytes = random_bytes(2 * 1024 * 1024, 41);
    LoopDevice loop(loop_image(bytes));
    REQUIRE_LOOP(loop);
    ASSERT_TRUE(backend->attach_drive(0, loop.device));
    std::string file = random_bytes(CHUNK + 1000, 42);
    write_whole_file(at("in.bin"), file);

    ASSERT_TRUE(is_loop_over(loop, at("loop.img")));
    ProgramRun loaded = run_to_end({"-L", "0", "in.bin", "1"});
    EXPECT_TRUE(ended_with_status_0(loaded, 1));
    EXPECT_EQ(loaded.output, progress("Write", {CHUNK, CHUNK + 1000}) + COMPLETED);
    // The device's last close has written it through to the image.
    EXPECT_TRUE(same_bytes(read_whole_file(at("loop.img")),
                           bytes.substr(0, 512) + file + bytes.substr(512 + file.size())));
}

// An image file grows when written past its end; a device cannot, and says so.
TEST_F(LoopDevices, LoadPastTheEndOfTheDeviceReportsItFull)
{
    std::string bytes = random_bytes(1024 * 1024, 43);
    LoopDevice loop(loop_image(bytes));
    REQUIRE_LOOP(loop);
    ASSERT_TRUE(backend->attach_drive(0, loop.device));
    std::string file = random_bytes(1536 * 1024, 44);
    write_whole_file(at("in.bin"), file);

    ASSERT_TRUE(is_loop_over(loop, at("loop.img")));
    ProgramRun loaded = run_to_end({"-L", "0", "in.bin"});
    EXPECT_TRUE(ended_with_status_0(loaded, 1));
    EXPECT_EQ(loaded.output, progress("Write", {CHUNK}) + error_report(Failure::DiskFull));
    EXPECT_TRUE(same_bytes(read_whole_file(at("loop.img")), file.substr(0, bytes.size())));
}

TEST_F(LoopDevices, SavePastTheEndOfTheDeviceGivesWhatItHadAndReportsItsEnd)
{
    std::string bytes = random_bytes(1024 * 1024, 45);
    LoopDevice loop(loop_image(bytes));
    REQUIRE_LOOP(loop);
    ASSERT_TRUE(backend->attach_drive(0, loop.device));

    ASSERT_TRUE(is_loop_over(loop, at("loop.img")));
    ProgramRun saved = run_to_end({"-S", "0", "out.bin", "0", "2000000"});
    EXPECT_TRUE(ended_with_status_0(saved, 1));
    EXPECT_EQ(saved.output,
              progress("Read", {CHUNK, bytes.size()}) + error_report(Failure::EndOfFile));
    EXPECT_TRUE(same_bytes(read_whole_file(at("out.bin")), bytes));
}

}  // namespace
