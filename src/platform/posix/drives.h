// How the port turns a Windows raw drive name into a Linux block device.
#pragma once

#include "platform/posix/guard/disk_usage.h"

#include <cstddef>
#include <string>
#include <vector>

// The roots the shipped program resolves drive names under. A build for end-to-end tests
// may point them at a tree it prepares; nothing at run time can change them.
#ifndef VORLENT_SYS_BLOCK_ROOT
#define VORLENT_SYS_BLOCK_ROOT "/sys/block"
#endif
#ifndef VORLENT_SYS_DEV_BLOCK_ROOT
#define VORLENT_SYS_DEV_BLOCK_ROOT "/sys/dev/block"
#endif
#ifndef VORLENT_DEV_ROOT
#define VORLENT_DEV_ROOT "/dev"
#endif

// The resolver's roots, the calling process's mount table and the active swap areas: where
// the shipped programs look for disks and what uses them.
SystemRoots system_roots();

// True when `name` lies in the Windows device namespace ("\\.\..."), where no ordinary
// file can be named.
bool is_device_name(const char* name);

// The entries of `sys_block_root` that drive numbers name, in the order of their numbers
// from 0: hardware disks (entries with a `device` link) first, then the others, shorter
// names first within each, then by name, leaving out disks of size 0 and those /sys marks
// hidden (the paths of a multipath disk, which has an entry of its own).
std::vector<std::string> list_disks(const char* sys_block_root);

// Finds the device for `name` of the form "\\.\physicaldrive<N>", N all decimal digits
// with no leading zero: the N-th entry of list_disks. On success writes
// "<dev_root>/<entry>" into `path` and returns true; returns false for any other name, a
// number past the last disk, or a path that does not fit.
bool resolve_physical_drive(const char* name, const char* sys_block_root, const char* dev_root,
                            char* path, std::size_t path_size);
