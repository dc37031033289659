#include "platform/posix_drives.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

// The prefix of every raw drive name, compared without regard to case as Windows does.
const char PHYSICAL_DRIVE_PREFIX[] = "\\\\.\\physicaldrive";

struct BlockEntry {
    bool hardware;  // has a `device` link: a disk behind a real (or virtual) controller
    std::string name;
};

bool starts_with_ignoring_case(const char* text, const char* prefix)
{
    for (; *prefix != '\0'; ++text, ++prefix) {
        if (std::tolower(static_cast<unsigned char>(*text)) !=
            std::tolower(static_cast<unsigned char>(*prefix)))
            return false;
    }
    return true;
}

// Reads the drive number; false unless the text is one or more decimal digits.
bool parse_drive_number(const char* text, std::size_t* number)
{
    if (*text == '\0')
        return false;
    std::size_t value = 0;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9')
            return false;
        // A number this large names no disk; saturate rather than wrap onto a real one.
        if (value > (static_cast<std::size_t>(-1) - 9) / 10)
            value = static_cast<std::size_t>(-1);
        else
            value = value * 10 + static_cast<std::size_t>(*text - '0');
    }
    *number = value;
    return true;
}

bool has_nonzero_size(const std::string& entry_dir)
{
    FILE* size_file = std::fopen((entry_dir + "/size").c_str(), "r");
    if (size_file == nullptr)
        return false;
    unsigned long long sectors = 0;
    bool readable = std::fscanf(size_file, "%llu", &sectors) == 1;
    std::fclose(size_file);
    return readable && sectors > 0;
}

}  // namespace

bool is_device_name(const char* name)
{
    return std::strncmp(name, "\\\\.\\", 4) == 0;
}

std::vector<std::string> list_disks(const char* sys_block_root)
{
    std::vector<BlockEntry> disks;
    std::vector<std::string> names;
    DIR* dir = opendir(sys_block_root);
    if (dir == nullptr)
        return names;
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        std::string entry_dir = std::string(sys_block_root) + "/" + name;
        if (!has_nonzero_size(entry_dir))
            continue;
        struct stat link_info;
        bool hardware = lstat((entry_dir + "/device").c_str(), &link_info) == 0;
        disks.push_back({hardware, name});
    }
    closedir(dir);
    std::sort(disks.begin(), disks.end(), [](const BlockEntry& a, const BlockEntry& b) {
        if (a.hardware != b.hardware)
            return a.hardware;
        if (a.name.size() != b.name.size())
            return a.name.size() < b.name.size();
        return a.name < b.name;
    });
    for (const BlockEntry& disk : disks)
        names.push_back(disk.name);
    return names;
}

bool resolve_physical_drive(const char* name, const char* sys_block_root, const char* dev_root,
                            char* path, std::size_t path_size)
{
    if (!starts_with_ignoring_case(name, PHYSICAL_DRIVE_PREFIX))
        return false;
    std::size_t number = 0;
    if (!parse_drive_number(name + sizeof PHYSICAL_DRIVE_PREFIX - 1, &number))
        return false;
    std::vector<std::string> disks = list_disks(sys_block_root);
    if (number >= disks.size())
        return false;
    int needed = std::snprintf(path, path_size, "%s/%s", dev_root, disks[number].c_str());
    return needed >= 0 && static_cast<std::size_t>(needed) < path_size;
}
