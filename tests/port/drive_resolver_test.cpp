// Which Linux block device a raw drive name reaches, on a /sys/block tree built here.
#include "drives/drive_list.h"
#include "sys_block_tree.h"

#include <gtest/gtest.h>

#include <iterator>

namespace {

using DriveResolver = SysBlockTree;

TEST_F(DriveResolver, HardwareDisksComeFirstThenShorterNamesThenByNameSkippingEmptyOnes)
{
    add_typical_disks();
    const char* expected[] = {"sda",         "sdb",   "vda",   "mmcblk0", "nvme0n1",
                              "cciss/c0d0", "loop2", "zram0", "loop10"};
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

// A leading zero names no drive, as on Windows, where drive objects go by their exact text.
TEST_F(DriveResolver, OnlyAllDigitNumbersWithoutALeadingZeroNameADisk)
{
    add_typical_disks();
    const char* not_numbers[] = {"", "x", "1x", "-1", "+1", " 1", "1 ", "0x1", "00", "05", "010"};
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

TEST_F(DriveResolver, ATreeOfEmptyDisksOrNoTreeHasNoDisksAndTheListSaysSo)
{
    add_disk("loop0", "0", false);
    EXPECT_EQ(drive("0"), "");
    EXPECT_EQ(describe_drives(roots()), "No drives found.\n");
    std::filesystem::remove_all(sys_block);
    EXPECT_EQ(drive("0"), "");
    EXPECT_EQ(describe_drives(roots()), "No drives found.\n");
}

}  // namespace
