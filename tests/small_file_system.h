// A small tmpfs for one test, where a file system fills up after a few chunks. Mounting
// needs root; the mount and its folder go on every way out of the test.
#pragma once

#include <string>
#include <sys/mount.h>
#include <unistd.h>

struct SmallFileSystem {
    std::string dir;  // an empty folder of the test's own, where the tmpfs is mounted
    bool mounted = false;

    // Mounts a tmpfs of `size` (as mount(8) writes it, e.g. "3m") on `dir`.
    bool mount_sized(const char* size)
    {
        std::string options = "size=" + std::string(size);
        mounted = mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) == 0;
        return mounted;
    }
    ~SmallFileSystem()
    {
        if (mounted)
            umount2(dir.c_str(), MNT_DETACH);
        if (!dir.empty())
            rmdir(dir.c_str());
    }
};
