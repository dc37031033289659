// How vorlent-drives lists the disks of a /sys/block tree built here: numbered as the
// resolver numbers them, with their sizes, models and uses.
#include "drives/drive_list.h"
#include "sys_block_tree.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

using DriveList = SysBlockTree;

// Drive numbers mean what the resolver says, so the listing takes them from it.
TEST_F(DriveList, TheDriveListNumbersDrivesAsTheResolverDoes)
{
    add_typical_disks();
    std::istringstream listing(describe_drives(roots()));
    std::size_t drives = 0;
    for (std::string line; std::getline(listing, line);) {
        if (line.rfind("Drive ", 0) != 0)
            continue;
        EXPECT_EQ(line, "Drive " + std::to_string(drives) + ": " + drive(std::to_string(drives)));
        ++drives;
    }
    EXPECT_EQ(drives, 9u);
}

// A `device` folder makes sda and sdb hardware disks, as a link to one does.
TEST_F(DriveList, TheDriveListShowsSizeModelRemovableBackingAndUses)
{
    add_disk("sda", "500118192", false);
    put(sys_block + "/sda/removable", "0\n");
    put(sys_block + "/sda/dev", "8:0\n");
    put(sys_block + "/sda/device/vendor", "ATA     \n");
    put(sys_block + "/sda/device/model", "Internal SSD    \n");
    add_partition("sda", "sda1", "2048", "1048576", "8:1");
    add_partition("sda", "sda2", "1050624", "400000000", "8:2");
    add_partition("sda", "sda3", "401050624", "99067568", "8:3");
    put(sys_block + "/sda/sda3/holders/dm-0", "");
    add_mount("8:2", "/");
    add_mount("8:1", "/boot/efi");
    add_mount("8:2", "/srv/bound\\040twice");
    add_mount("8:2", "/");  // the same mount point over itself

    add_disk("sdb", "15633408", false);
    put(sys_block + "/sdb/removable", "1\n");
    put(sys_block + "/sdb/dev", "8:16\n");
    put(sys_block + "/sdb/device/vendor", "0x1af4\n");  // a number names no maker
    put(sys_block + "/sdb/device/model", "USB Stick\n");
    add_partition("sdb", "sdb1", "2048", "7811072", "8:17");  // half the stick
    add_mount("8:17", "/media/my\\040stick\\012Drive\\0409");

    add_disk("loop0", "16384", false);
    put(sys_block + "/loop0/removable", "0\n");
    put(sys_block + "/loop0/dev", "7:0\n");
    put(sys_block + "/loop0/loop/backing_file", "/root/disk.img\n");

    add_disk("zram0", "1", false);

    EXPECT_EQ(describe_drives(roots()),
              "Drive 0: " + dev + "/sda\n"
              "  Size:      256060514304 bytes (238.5 GiB)\n"
              "  Parts end: 256060514304 bytes (238.5 GiB)\n"
              "  Model:     ATA Internal SSD\n"
              "  Removable: no\n"
              "  In use:    sda1 mounted on /boot/efi; sda2 mounted on / and /srv/bound twice; "
              "sda3 held by dm-0\n"
              "\n"
              "Drive 1: " + dev + "/sdb\n"
              "  Size:      8004304896 bytes (7.5 GiB)\n"
              "  Parts end: 4000317440 bytes (3.7 GiB)\n"
              "  Model:     USB Stick\n"
              "  Removable: yes\n"
              "  In use:    sdb1 mounted on /media/my stick\\012Drive 9\n"
              "\n"
              "Drive 2: " + dev + "/loop0\n"
              "  Size:      8388608 bytes (8.0 MiB)\n"
              "  Backing:   /root/disk.img\n"
              "  Removable: no\n"
              "  In use:    nothing\n"
              "\n"
              "Drive 3: " + dev + "/zram0\n"
              "  Size:      512 bytes (512.0 B)\n"
              "  In use:    nothing\n");
}

// The readable figure moves up a unit before it would show 1024.0.
TEST_F(DriveList, TheDriveListShowsSizesExactlyAndInBinaryUnits)
{
    struct Case {
        const char* sectors;
        const char* shown;
    };
    const Case cases[] = {
        {"2", "1024 bytes (1.0 KiB)"},
        {"2047", "1048064 bytes (1023.5 KiB)"},
        {"2097151", "1073741312 bytes (1.0 GiB)"},
        {"2040109466", "1044536046592 bytes (972.8 GiB)"},
        {"36028797018963967", "18446744073709551104 bytes (16777216.0 TiB)"},
    };
    for (const Case& c : cases) {
        std::filesystem::remove_all(sys_block);
        add_disk("sda", c.sectors, true);
        std::string listing = describe_drives(roots());
        EXPECT_NE(listing.find("  Size:      " + std::string(c.shown) + "\n"), std::string::npos)
            << listing;
    }
}

}  // namespace
