// What the kernel's text tables say of block devices: which are mounted where, in this
// process's mount namespace and in the others, and which are active swap areas; read
// directly, never by running another program. The write guard and vorlent-drives place
// these uses on disks (disk_usage.h).
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

// A line of the mount table, reduced to what tells which device it mounts where.
struct Mount {
    dev_t number;         // the file system's device (field 3)
    bool source_is_node;  // the source names a block device node, whose number is
    dev_t source_number;  // the device's own where field 3 is an anonymous one (btrfs)
    std::string mount_point;
};

// "major:minor", as /sys's `dev` files and the mount table write a device number.
bool parse_device_number(const std::string& text, dev_t* number);

// The number of the block device node at the absolute `path`; false for anything else.
bool block_device_number(const std::string& path, dev_t* number);

// The lines of a small text file, without their line breaks.
std::vector<std::string> read_lines(const char* path);

// The mounts of the table at `mount_table`, in the format of /proc/self/mountinfo: each
// line holds id, parent, major:minor, root, mount point, optional fields, "-", type,
// source, options.
std::vector<Mount> read_mounts(const char* mount_table);

// The swap areas on block devices. A swap file lies in a mounted file system, which the
// mount table already shows. `swaps` is in the format of /proc/swaps.
std::vector<dev_t> read_swap_devices(const char* swaps);

// The devices mounted in mount namespaces other than this process's, as the mount tables of
// the processes /proc shows tell. Only a look that opens no partition needs them.
std::vector<dev_t> devices_mounted_out_of_view();
