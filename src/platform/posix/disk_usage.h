// What uses a disk of /sys/block and each of its partitions right now, read directly from
// /sys, the mount table and the swap list. The write guard and vorlent-drives both ask here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// /sys counts a disk's ranges in sectors of 512 bytes, whatever the disk's own sector.
const std::uint64_t SYS_SECTOR_SIZE = 512;

// The first line of a small file, without its line break; "" when it cannot be read.
std::string read_first_line(const std::string& path);

// Where the port looks. The shipped programs use system_roots(); tests pass a tree of
// their own.
struct SystemRoots {
    const char* sys_block;    // one entry per disk, its partitions as sub-folders
    const char* dev;          // device nodes; a disk's node is <dev>/<entry>
    const char* mount_table;  // in the format of /proc/self/mountinfo
    const char* swaps;        // in the format of /proc/swaps
};

// The resolver's roots, the calling process's mount table and the active swap areas.
SystemRoots system_roots();

// A partition, or the disk itself, and what uses it.
struct PartUse {
    std::string name;                       // "vda1"; for the disk itself the disk's name
    bool placed = false;                    // false: its start or size cannot be read
    std::uint64_t start = 0;                // first sector, in 512-byte units
    std::uint64_t size = 0;                 // in 512-byte units
    std::vector<std::string> mount_points;  // in the order of the mount table
    bool swap = false;                      // an active swap area
    std::vector<std::string> holders;       // drivers built on it: "dm-0", "md127"
    bool busy = false;  // none of the above, yet the kernel refuses an exclusive open
};

bool is_in_use(const PartUse& part);

// The kernel's own answer for the whole of `disk`: true when its node under roots.dev
// opens exclusively, which it does only while nothing (a mount, swap, another driver)
// holds the disk or any of its partitions. False also when there is no node to ask.
bool disk_is_unclaimed(const std::string& disk, const SystemRoots& roots);

// The disk `disk` of roots.sys_block itself (start 0, its whole size), then its
// partitions, shorter names first, then by name. Empty when the disk has no entry.
std::vector<PartUse> read_disk_usage(const std::string& disk, const SystemRoots& roots);
