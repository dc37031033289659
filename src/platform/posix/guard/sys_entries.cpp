#include "platform/posix/guard/sys_entries.h"

#include <algorithm>
#include <cstring>
#include <dirent.h>

std::string node_path(const char* dev_root, const std::string& entry)
{
    std::string node = std::string(dev_root) + "/" + entry;
    std::replace(node.begin() + static_cast<std::ptrdiff_t>(std::strlen(dev_root)), node.end(),
                 '!', '/');
    return node;
}

std::vector<std::string> sorted_entries(const std::string& folder)
{
    std::vector<std::string> names;
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr)
        return names;
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    return names;
}
