// A directory of its own for each test, removed with everything in it afterwards, and
// whole-file reads and writes for checking bytes.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

struct ScratchDir {
    std::string path;

    ScratchDir()
    {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "vorlent-test-XXXXXX").string();
        if (char* made = mkdtemp(pattern.data()))
            path = made;
    }
    ~ScratchDir()
    {
        std::error_code ignored;
        if (!path.empty())
            std::filesystem::remove_all(path, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

// In blocks: a whole disk image, byte by byte, takes seconds in a debug build.
inline std::string read_whole_file(const std::string& name)
{
    std::ifstream in(name, std::ios::binary);
    std::string bytes;
    std::vector<char> block(1 << 20);
    while (in.read(block.data(), static_cast<std::streamsize>(block.size())) || in.gcount() > 0)
        bytes.append(block.data(), static_cast<std::size_t>(in.gcount()));
    return bytes;
}

inline void write_whole_file(const std::string& name, const std::string& bytes)
{
    std::ofstream(name, std::ios::binary | std::ios::trunc)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}
