// A /sys/block tree, a /dev folder, a mount table and a swap list that a test builds for
// itself, with the drive names the resolver finds in it: the port's resolver, the guard and
// the drive list are all checked against such trees.
#pragma once

#include "platform/posix/drives.h"
#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

class SysBlockTree : public ::testing::Test {
protected:
    ScratchDir dir;
    std::string sys_block = dir / "sys/block";
    std::string sys_dev_block = dir / "sys/dev/block";
    std::string dev = dir / "dev";
    std::string mount_table = dir / "mountinfo";
    std::string swaps = dir / "swaps";

    void SetUp() override
    {
        std::filesystem::create_directories(sys_block);
        std::filesystem::create_directories(sys_dev_block);
        write_whole_file(mount_table, "");
        write_whole_file(swaps, "Filename\tType\tSize\tUsed\tPriority\n");
    }

    SystemRoots roots() const
    {
        return {sys_block.c_str(), sys_dev_block.c_str(), dev.c_str(), mount_table.c_str(),
                swaps.c_str()};
    }

    // A file of the tree, made with the folders above it.
    void put(const std::string& path, const std::string& text)
    {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        write_whole_file(path, text);
    }

    // A partition of `disk` as the kernel shows it; an empty start or size is left out.
    void add_partition(const std::string& disk, const std::string& name, const std::string& start,
                       const std::string& size, const std::string& number)
    {
        std::string entry = sys_block + "/" + disk + "/" + name;
        put(entry + "/partition", name.substr(name.size() - 1) + "\n");
        if (!start.empty())
            put(entry + "/start", start + "\n");
        if (!size.empty())
            put(entry + "/size", size + "\n");
        put(entry + "/dev", number + "\n");
        std::filesystem::create_directories(entry + "/holders");
    }

    // A mount table line for device `number` on `mount_point` (escaped as the kernel does).
    void add_mount(const std::string& number, const std::string& mount_point,
                   const std::string& source = "/dev/nowhere")
    {
        std::ofstream(mount_table, std::ios::app)
            << "40 1 " << number << " / " << mount_point << " rw,relatime shared:1 - ext4 "
            << source << " rw\n";
    }

    // /sys/dev/block's link for device `number` to `target`, a folder of the tree.
    void link_number(const std::string& number, const std::string& target)
    {
        ASSERT_EQ(symlink(target.c_str(), (sys_dev_block + "/" + number).c_str()), 0) << number;
    }

    // A loop device `name` numbered `number` over `backing` from byte `offset`, for at most
    // `limit` bytes ("0": to its end).
    void add_loop(const std::string& name, const std::string& backing, const std::string& offset,
                  const std::string& limit, const std::string& number)
    {
        put(sys_block + "/" + name + "/loop/backing_file", backing + "\n");
        put(sys_block + "/" + name + "/loop/offset", offset + "\n");
        put(sys_block + "/" + name + "/loop/sizelimit", limit + "\n");
        put(sys_block + "/" + name + "/dev", number + "\n");
    }

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
        add_disk("cciss!c0d0", "1000", true);
        add_disk("nvme0c0n1", "1000", true);  // a path of nvme0n1, which /sys hides
        put(sys_block + "/nvme0c0n1/hidden", "1\n");
        put(sys_block + "/nvme0n1/hidden", "0\n");
    }
};
