// What uses a disk of /sys/block and each of its partitions right now, read directly from
// /sys and from the mount tables and the swap list (mount_table.h), and where on the disk
// each use lies. The write guard and vorlent-drives both ask here.
#pragma once

#include "platform/posix/guard/partition_table.h"

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

// /sys counts a disk's ranges in sectors of 512 bytes, whatever the disk's own sector.
const std::uint64_t SYS_SECTOR_SIZE = 512;

// The first line of a small file, without its line break; "" when it cannot be read.
std::string read_first_line(const std::string& path);

// Where the guard looks. The shipped programs use the port's system_roots(); tests pass a
// tree of their own.
struct SystemRoots {
    const char* sys_block;      // one entry per disk, its partitions as sub-folders
    const char* sys_dev_block;  // "major:minor" links to the folder of each block device
    const char* dev;            // device nodes; a disk's node is <dev>/<entry>, '!' as '/'
    const char* mount_table;    // in the format of /proc/self/mountinfo
    const char* swaps;          // in the format of /proc/swaps
    // Where a node of the guard's own may be made for a moment, to ask the kernel about a
    // device `dev` has no node for; null: nowhere, and such a device cannot be asked.
    const char* private_nodes = nullptr;
};

// A partition, the disk itself, a device a loop device builds over a range of the disk, or,
// when the disk is a loop device, what its bytes land on; and what uses it.
struct PartUse {
    std::string name;        // "vda1"; for the disk itself the disk's name; "loop3", "loop3p1"
    bool placed = false;     // false: where it lies on the disk cannot be read
    std::uint64_t begin = 0;  // the bytes [begin, end) of the disk it covers
    std::uint64_t end = 0;
    bool through_loop = false;              // a loop device over those bytes, or a part of one
    // Under those bytes of this disk, a loop device: on its backing device, or on another
    // loop device over the same file.
    bool beneath = false;
    std::vector<std::string> mount_points;  // in the order of the mount table
    bool swap = false;                      // an active swap area
    std::vector<std::string> holders;       // drivers built on it: "dm-0", "md127"
    // None of the above, yet the kernel refuses an exclusive open. On the disk itself: the
    // kernel holds the disk for something nothing else here explains, which may lie under
    // any byte of it.
    bool busy = false;
};

bool is_in_use(const PartUse& part);

// Bytes [begin, end) of the disk asked about, which are the bytes of another device or file
// from `source_begin` on; not `placed` when where they lie cannot be read.
struct Window {
    bool placed;
    std::uint64_t begin;
    std::uint64_t end;
    std::uint64_t source_begin;
};

// The bytes [begin, end) of the window's source as bytes [*seen_begin, *seen_end) of the
// disk asked about; false when the window shows none of them.
bool through_window(const Window& window, std::uint64_t begin, std::uint64_t end,
                    std::uint64_t* seen_begin, std::uint64_t* seen_end);

// The partition table of `disk`, which places parts in use, seen through `window`.
struct TableWindow {
    std::string disk;
    Window window;
    std::uint64_t disk_size;  // 0 when /sys does not tell
    std::vector<ByteRange> in_use;  // the bytes of `disk` in use that are known
    std::vector<Partition> partitions;  // those of `disk` that /sys places
    bool of_loop_over;  // the table of a loop device over bytes of a disk, which lies on them
};

// The disk itself (its whole size), then its partitions, shorter names first, then by
// name, then what loop devices over its ranges build and something uses, then, for a loop
// device, what is in use under it. Empty when the disk has no entry. The kernel is asked for
// its claims through an exclusive open of the disk's node, held for a moment; with
// `probe_partitions`, also of each partition's, which a program that will write the disk
// may do, but a concurrent mount of that partition would fail for that moment; one with no
// node in roots.dev is asked through a node of the guard's own, and one that cannot be asked
// while the disk is held is called busy. Without it,
// a disk held while a partition not seen in use is mounted in another mount namespace is
// called busy. With `tables`, adds there the partition tables that place parts in use: of
// this disk, of what lies under it, and of the loop devices over its ranges (or over one of
// those).
std::vector<PartUse> read_disk_usage(const std::string& disk, const SystemRoots& roots,
                                     bool probe_partitions,
                                     std::vector<TableWindow>* tables = nullptr);

// Where the block device numbered `number` lies: on which disk of roots.sys_block and,
// when `placed`, on its bytes [begin, end). False when /sys does not show it.
struct DevicePlace {
    std::string disk;
    bool placed = false;
    std::uint64_t begin = 0;
    std::uint64_t end = 0;
};
bool place_device(dev_t number, const SystemRoots& roots, DevicePlace* place);

// A descriptor for reading the node of `disk`, an entry of roots.sys_block, once it is
// the device /sys numbers so; -1 otherwise.
int open_disk_node(const std::string& disk, const SystemRoots& roots);

// The kernel's answer, as exclusive_open_error gives it, for the block device `number`
// through a node of this process's own in a fresh folder under `folder`, gone again before
// this returns; -1 when no such node can be made.
int private_node_error(dev_t number, const char* folder);

// The kernel's own answer for the block device node at `node`, which must be of `number`:
// 0 when an exclusive open succeeds, EBUSY while anything holds the device (also a mount
// this process's mount table cannot see), another errno when the open fails otherwise,
// -1 when there is no such node to ask.
int exclusive_open_error(const std::string& node, dev_t number);
