// Which Linux block device a raw drive name reaches, on a /sys/block tree built here.
#include "platform/posix_drives.h"
#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

class DriveResolver : public ::testing::Test {
protected:
    ScratchDir dir;
    std::string sys_block = dir / "sys/block";
    std::string dev = dir / "dev";

    void SetUp() override { std::filesystem::create_directories(sys_block); }

    // An entry of /sys/block; hardware disks carry a `device` link, which may dangle.
    void add_disk(const std::string& name, const std::string& size, bool hardware)
    {
        std::string entry = sys_block + "/" + name;
        std::filesystem::create_directories(entry);
        if (!size.empty())
            write_whole_file(entry + "/size", size + "\n");
        if (hardware) {
            ASSERT_EQ(symlink("../../devices/virtual/nowhere", (entry + "/device").c_str()), 0);
        }
    }

    // The device a name resolves to, or "" when it names none.
    std::string resolve(const std::string& name, std::size_t path_size = 256)
    {
        char path[256];
        if (!resolve_physical_drive(name.c_str(), sys_block.c_str(), dev.c_str(), path, path_size))
            return "";
        return path;
    }

    std::string drive(const std::string& number)
    {
        return resolve("\\\\.\\physicaldrive" + number);
    }

    // Directory order is not sorted order: the names are added out of their final order.
    void add_typical_disks()
    {
        add_disk("zram0", "1024", false);
        add_disk("loop10", "8", false);
        add_disk("nvme0n1", "1000", true);
        add_disk("sdb", "1000", true);
        add_disk("loop0", "0", false);
        add_disk("mmcblk0", "1000", true);
        add_disk("sdc", "0", true);
        add_disk("loop2", "8", false);
        add_disk("vda", "1000", true);
        add_disk("sda", "1000", true);
        add_disk("ram0", "", false);       // no size at all: not a disk to count
        add_disk("loop3", "many", false);  // no readable size either
    }
};

TEST_F(DriveResolver, HardwareDisksComeFirstThenShorterNamesThenByNameSkippingEmptyOnes)
{
    add_typical_disks();
    const char* expected[] = {"sda",     "sdb",   "vda",   "mmcblk0",
                              "nvme0n1", "loop2", "zram0", "loop10"};
    for (std::size_t n = 0; n < std::size(expected); ++n)
        EXPECT_EQ(drive(std::to_string(n)), dev + "/" + expected[n]) << "drive " << n;
    EXPECT_EQ(drive(std::to_string(std::size(expected))), "");
}

TEST_F(DriveResolver, ThePrefixIsMatchedWithoutRegardToCase)
{
    add_typical_disks();
    EXPECT_EQ(resolve("\\\\.\\PhysicalDrive1"), dev + "/sdb");
    EXPECT_EQ(resolve("\\\\.\\PHYSICALDRIVE0"), dev + "/sda");
}

TEST_F(DriveResolver, OnlyAllDigitNumbersNameADisk)
{
    add_typical_disks();
    const char* not_numbers[] = {"", "x", "1x", "-1", "+1", " 1", "1 ", "0x1"};
    for (const char* text : not_numbers)
        EXPECT_EQ(drive(text), "") << "'" << text << "'";
    EXPECT_EQ(resolve("\\\\.\\physicaldisk0"), "");
    EXPECT_EQ(resolve("//./physicaldrive0"), "");
    EXPECT_EQ(resolve("physicaldrive0"), "");
}

// 2^64 + 1 would wrap to 1 in 64-bit arithmetic and reach a real disk.
TEST_F(DriveResolver, AHugeNumberNamesNoDiskInsteadOfWrappingOntoOne)
{
    add_typical_disks();
    EXPECT_EQ(drive("18446744073709551617"), "");
    EXPECT_EQ(drive("18446744073709551616"), "");
    EXPECT_EQ(drive("99999999999999999999999999999999"), "");
}

TEST_F(DriveResolver, APathThatDoesNotFitIsRefused)
{
    add_typical_disks();
    std::string full = dev + "/sda";
    EXPECT_EQ(resolve("\\\\.\\physicaldrive0", full.size() + 1), full);
    EXPECT_EQ(resolve("\\\\.\\physicaldrive0", full.size()), "");
}

TEST_F(DriveResolver, AMissingTreeHasNoDisks)
{
    std::filesystem::remove_all(sys_block);
    EXPECT_EQ(drive("0"), "");
}

}  // namespace
