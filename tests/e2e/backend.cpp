#include "backend.h"

#include "platform/posix/api.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

unsigned long long block_device_sectors(const std::string& device)
{
    int descriptor = open(device.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0)
        return 0;
    off_t end = lseek(descriptor, 0, SEEK_END);
    close(descriptor);
    return end < 0 ? 0 : static_cast<unsigned long long>(end) / 512;
}

class LinuxBackend : public Backend {
public:
    std::vector<std::string> command(const std::vector<std::string>& arguments) const override
    {
        std::vector<std::string> argv = {VORLENT_E2E_PROGRAM};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return argv;
    }

    // Entries sda, sdb, ... are all hardware disks with names of one length, so their
    // order on the program's side is the order of their numbers here. A block device (a
    // loop device) is also found by its number, as the kernel's /sys finds it.
    bool attach_drive(int number, const std::string& image) override
    {
        std::string name = std::string("sd") + static_cast<char>('a' + number);
        std::string entry = linux_drive_entry(number);
        std::filesystem::create_directories(entry);
        struct stat info;
        bool found = stat(image.c_str(), &info) == 0;
        unsigned long long sectors = !found               ? 0
                                     : S_ISBLK(info.st_mode) ? block_device_sectors(image)
                                                             : info.st_size / 512;
        std::ofstream(entry + "/size") << (sectors == 0 ? 1 : sectors) << "\n";
        if (found && S_ISBLK(info.st_mode)) {
            std::string device_number = std::to_string(major(info.st_rdev)) + ":" +
                                        std::to_string(minor(info.st_rdev));
            std::ofstream(entry + "/dev") << device_number << "\n";
            if (symlink(("../../block/" + name).c_str(),
                        (sys_dev_block() + "/" + device_number).c_str()) != 0)
                return false;
        }
        return symlink("../../devices/virtual/e2e", (entry + "/device").c_str()) == 0 &&
               symlink(image.c_str(), (dev() + "/" + name).c_str()) == 0;
    }

    void detach_drives() override
    {
        std::filesystem::remove_all(sys_block());
        std::filesystem::remove_all(sys_dev_block());
        std::filesystem::remove_all(dev());
        std::filesystem::create_directories(sys_block());
        std::filesystem::create_directories(sys_dev_block());
        std::filesystem::create_directories(dev());
    }

    // The port's own text for the errno, so the cases never restate the C library's words.
    std::string error_text(Failure failure) const override
    {
        char* text = nullptr;
        DWORD length =
            FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                               FORMAT_MESSAGE_FROM_SYSTEM,
                           nullptr, code_of(failure), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                           reinterpret_cast<LPSTR>(&text), 0, nullptr);
        std::string copy = length == 0 ? "<no text>" : text;
        std::free(text);
        return copy;
    }

    // The port writes to terminals and pipes alike exactly what the program prints.
    std::string shown(const std::string& written) const override { return written; }

    bool supports(Feature) const override { return true; }

    std::string lock_file() const override { return std::string(VORLENT_E2E_DRIVES) + "/.lock"; }

private:
    static std::string sys_block() { return std::string(VORLENT_E2E_DRIVES) + "/sys/block"; }
    static std::string sys_dev_block()
    {
        return std::string(VORLENT_E2E_DRIVES) + "/sys/dev/block";
    }
    static std::string dev() { return std::string(VORLENT_E2E_DRIVES) + "/dev"; }

    static DWORD code_of(Failure failure)
    {
        switch (failure) {
        case Failure::NotFound:
            return ERROR_FILE_NOT_FOUND;
        case Failure::EndOfFile:
            return ERROR_HANDLE_EOF;
        case Failure::NameTooLong:
            return ERROR_FILENAME_EXCED_RANGE;
        case Failure::InvalidParameter:
            return ERROR_INVALID_PARAMETER;
        case Failure::DiskFull:
            return ERROR_HANDLE_DISK_FULL;
        case Failure::IsDirectory:
            return EISDIR;
        case Failure::WriteBackFailed:
            return EIO;
        }
        return 0;
    }
};

}  // namespace

std::string linux_drive_entry(int number)
{
    return std::string(VORLENT_E2E_DRIVES) + "/sys/block/sd" + static_cast<char>('a' + number);
}

Backend* linux_backend()
{
    static LinuxBackend backend;
    return &backend;
}

Backend* selected_backend()
{
    const char* name = std::getenv("VORLENT_E2E_BACKEND");
    if (name == nullptr || std::string(name) == "linux")
        return linux_backend();
    if (std::string(name) == "wine")
        return wine_backend();
    return nullptr;
}
