#include "platform/posix/drives.h"

#include "platform/posix/guard/sys_entries.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

// The prefix of every raw drive name, compared without regard to case as Windows does.
const char PHYSICAL_DRIVE_PREFIX[] = "\\\\.\\physicaldrive";

bool starts_with_ignoring_case(const char* text, const char* prefix)
{
    for (; *prefix != '\0'; ++text, ++prefix) {
        if (std::tolower(static_cast<unsigned char>(*text)) !=
            std::tolower(static_cast<unsigned char>(*prefix)))
            return false;
    }
    return true;
}

// Reads the drive number; false unless the text is one or more decimal digits with no
// leading zero. Windows names drive objects by their exact text, so there "05" and "00"
// name no drive; here they must not reach one either.
bool parse_drive_number(const char* text, std::size_t* number)
{
    if (*text == '\0' || (text[0] == '0' && text[1] != '\0'))
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

bool is_hidden(const std::string& entry_dir)
{
    FILE* hidden_file = std::fopen((entry_dir + "/hidden").c_str(), "r");
    if (hidden_file == nullptr)
        return false;
    int flag = 0;
    bool hidden = std::fscanf(hidden_file, "%d", &flag) == 1 && flag != 0;
    std::fclose(hidden_file);
    return hidden;
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
    std::vector<std::string> disks;
    for (const std::string& name : sorted_entries(sys_block_root)) {
        std::string entry_dir = std::string(sys_block_root) + "/" + name;
        if (has_nonzero_size(entry_dir) && !is_hidden(entry_dir))
            disks.push_back(name);
    }
    // Hardware disks, those with a `device` link (behind a real or virtual controller),
    // come first; each group keeps the order above.
    std::stable_partition(disks.begin(), disks.end(), [sys_block_root](const std::string& name) {
        struct stat link_info;
        return lstat((std::string(sys_block_root) + "/" + name + "/device").c_str(),
                     &link_info) == 0;
    });
    return disks;
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
    int needed = std::snprintf(path, path_size, "%s", node_path(dev_root, disks[number]).c_str());
    return needed >= 0 && static_cast<std::size_t>(needed) < path_size;
}

SystemRoots system_roots()
{
    // The temporary folder, for a device /dev has no node for.
    const char* temporary = std::getenv("TMPDIR");
    return {VORLENT_SYS_BLOCK_ROOT, VORLENT_SYS_DEV_BLOCK_ROOT, VORLENT_DEV_ROOT,
            "/proc/self/mountinfo", "/proc/swaps",
            temporary != nullptr && temporary[0] == '/' ? temporary : "/tmp"};
}
