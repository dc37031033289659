// How /sys names block devices: the entries of its folders, in the order in which disks and
// the partitions of a disk are counted, and the device node each entry stands for.
#pragma once

#include <string>
#include <vector>

// The entries of `folder` but "." and "..", shorter names first, then by name: the order
// in which disks, and the partitions of a disk, are counted (sda2 before sda10).
std::vector<std::string> sorted_entries(const std::string& folder);

// The node of the /sys entry `entry` under `dev_root`: /sys writes a '/' of the node's
// path as '!' ("cciss!c0d0" is <dev_root>/cciss/c0d0).
std::string node_path(const char* dev_root, const std::string& entry);
