#include "platform/posix/guard/mount_table.h"

#include "platform/posix/guard/sys_entries.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {

bool is_octal_digit(char c)
{
    return c >= '0' && c <= '7';
}

// Undoes the escapes (\040 for a space, \011, \012, \134) of the mount table and swap list.
std::string unescape(const std::string& text)
{
    std::string plain;
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (text[at] == '\\' && at + 3 < text.size() && is_octal_digit(text[at + 1]) &&
            is_octal_digit(text[at + 2]) && is_octal_digit(text[at + 3])) {
            plain += static_cast<char>((text[at + 1] - '0') * 64 + (text[at + 2] - '0') * 8 +
                                       (text[at + 3] - '0'));
            at += 3;
        } else {
            plain += text[at];
        }
    }
    return plain;
}

std::vector<std::string> words_of(const std::string& line)
{
    std::vector<std::string> words;
    std::size_t at = 0;
    while ((at = line.find_first_not_of(" \t", at)) != std::string::npos) {
        std::size_t end = line.find_first_of(" \t", at);
        words.push_back(line.substr(at, end - at));
        at = end;
    }
    return words;
}

}  // namespace

bool parse_device_number(const std::string& text, dev_t* number)
{
    unsigned major_number = 0, minor_number = 0;
    char rest = 0;
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0])) ||
        std::sscanf(text.c_str(), "%u:%u%c", &major_number, &minor_number, &rest) != 2)
        return false;
    *number = makedev(major_number, minor_number);
    return true;
}

bool block_device_number(const std::string& path, dev_t* number)
{
    struct stat info;
    if (path.empty() || path[0] != '/' || stat(path.c_str(), &info) != 0 ||
        !S_ISBLK(info.st_mode))
        return false;
    *number = info.st_rdev;
    return true;
}

// Plain C reads: the guard runs before the first write of a Load, where a stream library's
// set-up would cost more than the sector being written.
std::vector<std::string> read_lines(const char* path)
{
    std::vector<std::string> lines;
    FILE* file = std::fopen(path, "re");
    if (file == nullptr)
        return lines;
    char* line = nullptr;
    std::size_t capacity = 0;
    for (ssize_t length; (length = getline(&line, &capacity, file)) >= 0;) {
        if (length > 0 && line[length - 1] == '\n')
            --length;
        lines.emplace_back(line, static_cast<std::size_t>(length));
    }
    std::free(line);
    std::fclose(file);
    return lines;
}

std::vector<Mount> read_mounts(const char* mount_table)
{
    std::vector<Mount> mounts;
    for (const std::string& line : read_lines(mount_table)) {
        std::vector<std::string> words = words_of(line);
        Mount mount = {};
        if (words.size() < 5 || !parse_device_number(words[2], &mount.number))
            continue;
        mount.mount_point = unescape(words[4]);
        auto separator = std::find(words.begin() + 5, words.end(), "-");
        if (words.end() - separator >= 3)
            mount.source_is_node =
                block_device_number(unescape(*(separator + 2)), &mount.source_number);
        mounts.push_back(mount);
    }
    return mounts;
}

std::vector<dev_t> read_swap_devices(const char* swaps)
{
    std::vector<dev_t> numbers;
    std::vector<std::string> lines = read_lines(swaps);
    for (std::size_t at = 1; at < lines.size(); ++at) {  // after the heading
        std::vector<std::string> words = words_of(lines[at]);
        dev_t number;
        if (!words.empty() && block_device_number(unescape(words[0]), &number))
            numbers.push_back(number);
    }
    return numbers;
}

std::vector<dev_t> devices_mounted_out_of_view()
{
    std::vector<dev_t> numbers;
    struct stat own;
    if (stat("/proc/self/ns/mnt", &own) != 0)
        return numbers;
    std::vector<ino_t> namespaces = {own.st_ino};
    for (const std::string& process : sorted_entries("/proc")) {
        struct stat space;
        std::string folder = "/proc/" + process;
        if (!std::isdigit(static_cast<unsigned char>(process[0])) ||
            stat((folder + "/ns/mnt").c_str(), &space) != 0 ||
            std::find(namespaces.begin(), namespaces.end(), space.st_ino) != namespaces.end())
            continue;
        namespaces.push_back(space.st_ino);
        for (const Mount& mount : read_mounts((folder + "/mountinfo").c_str()))
            numbers.push_back(mount.number);
    }
    return numbers;
}
