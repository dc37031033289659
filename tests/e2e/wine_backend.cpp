// The cases against Vorlent.exe under Wine. A link dosdevices/physicaldriveN in the prefix
// makes \\.\physicaldriveN open its target through the real CreateFileA path; links go
// only to image files in a test's own scratch directory or loop devices over them, and
// only such links are removed, so the Windows checks' links in the same prefix are never
// touched.
#include "backend.h"

#include "program_run.h"
#include "scratch_dir.h"
#include "wine_settings.h"  // made by CMake: where the program and the prefix are

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The cases attach a few drives from 0 up; the Windows checks link higher numbers.
const int DRIVE_LINKS = 4;

// Where every ScratchDir (tests/port/scratch_dir.h) of the cases lies.
std::string scratch_prefix()
{
    return (std::filesystem::temp_directory_path() / "vorlent-test-").string();
}

bool in_a_scratch_dir(const std::string& path)
{
    return path.rfind(scratch_prefix(), 0) == 0 && path.find("/../") == std::string::npos;
}

bool is_loop_device_path(const std::string& path)
{
    return path.rfind("/dev/loop", 0) == 0;
}

// An image file in a scratch directory, or a loop device whose backing file is one.
bool may_be_attached(const std::string& path)
{
    struct stat info;
    if (lstat(path.c_str(), &info) != 0)
        return false;
    if (S_ISREG(info.st_mode))
        return in_a_scratch_dir(path);
    if (!S_ISBLK(info.st_mode) || !is_loop_device_path(path))
        return false;
    std::string backing = read_whole_file("/sys/block/" + path.substr(5) + "/loop/backing_file");
    return !backing.empty() && in_a_scratch_dir(backing);
}

std::string link_of(int number)
{
    return std::string(WINE_PREFIX) + "/dosdevices/physicaldrive" + std::to_string(number);
}

const char* name_of(Failure failure)
{
    switch (failure) {
    case Failure::NotFound:
        return "NotFound";
    case Failure::EndOfFile:
        return "EndOfFile";
    case Failure::NameTooLong:
        return "NameTooLong";
    case Failure::InvalidParameter:
        return "InvalidParameter";
    case Failure::DiskFull:
        return "DiskFull";
    case Failure::IsDirectory:
        return "IsDirectory";
    case Failure::WriteBackFailed:
        return "WriteBackFailed";
    }
    return "";
}

// Where the control sequence that starts at `at` (an ESC) ends, or npos when it has not
// all arrived yet.
std::size_t end_of_sequence(const std::string& written, std::size_t at)
{
    std::size_t next = at + 1;
    if (next >= written.size())
        return std::string::npos;
    if (written[next] == '[') {  // parameters, then one final byte
        std::size_t end = next + 1;
        while (end < written.size() && written[end] >= 0x20 && written[end] <= 0x3F)
            ++end;
        return end < written.size() ? end + 1 : std::string::npos;
    }
    if (written[next] == ']') {  // a title, ended by BEL or ESC backslash
        for (std::size_t end = next + 1; end < written.size(); ++end) {
            if (written[end] == '\a')
                return end + 1;
            if (written[end] == '\x1b' && end + 1 < written.size() && written[end + 1] == '\\')
                return end + 2;
        }
        return std::string::npos;
    }
    while (next < written.size() && written[next] >= 0x20 && written[next] <= 0x2F)
        ++next;
    return next < written.size() ? next + 1 : std::string::npos;
}

// The blanks the sequence from `at` to `end` stands for. Wine's console writes a blank
// as "erase the rest of the line" and a move one column right, or, at the end of a line,
// as the erase alone: that is one blank, as the program never ends a line with more.
std::size_t blanks_of(const std::string& written, std::size_t at, std::size_t end)
{
    if (written.compare(at, 2, "\x1b[") != 0)
        return 0;
    char final_byte = written[end - 1];
    if (final_byte == 'C') {
        std::string count = written.substr(at + 2, end - at - 3);
        return count.empty() || count == "0" ? 1 : std::strtoul(count.c_str(), nullptr, 10);
    }
    if (final_byte == 'K' && end - at == 3 && end < written.size() &&
        (written[end] == '\r' || written[end] == '\n'))
        return 1;
    return 0;
}

class WineBackend : public Backend {
public:
    std::vector<std::string> command(const std::vector<std::string>& arguments) const override
    {
        return wine_command(WINE_PROGRAM, arguments);
    }

    bool attach_drive(int number, const std::string& image) override
    {
        if (number < 0 || number >= DRIVE_LINKS || !may_be_attached(image))
            return false;
        return symlink(image.c_str(), link_of(number).c_str()) == 0;
    }

    // Also removes what a case killed at its time limit left behind.
    void detach_drives() override
    {
        for (int number = 0; number < DRIVE_LINKS; ++number) {
            std::error_code error;
            std::string target = std::filesystem::read_symlink(link_of(number), error).string();
            if (!error && (in_a_scratch_dir(target) || is_loop_device_path(target)))
                std::filesystem::remove(link_of(number), error);
        }
    }

    // The words of the Wine that runs the program, from FormatMessageA asked as the
    // program asks it: no case restates either Windows' or Wine's.
    std::string error_text(Failure failure) const override
    {
        auto known = texts_.find(failure);
        if (known != texts_.end())
            return known->second;
        ProgramRun asked = settled(
            run_with_input(wine_command(WINE_ERROR_TEXT_PROGRAM, {name_of(failure)}),
                           std::filesystem::temp_directory_path().string(), nullptr));
        if (!asked.exited || asked.exit_status != 0 || asked.output.empty())
            return "<no text from windows_error_text for " + std::string(name_of(failure)) + ">";
        return texts_[failure] = shown(asked.output);
    }

    // Through a pipe the runtime writes "\n" as "\r\n"; where a system text ends in
    // "\r\n" itself, the program's "\n" after it makes "\r\r\n". In a terminal Wine's
    // console draws the output with control sequences: each write between hiding and
    // showing the cursor, and blanks as erases and moves (blanks_of). Dropping the
    // sequences, but not the blanks, gives back the text: the console draws each write
    // where it lands, and the program only writes forward (its "\r" starts the progress
    // line anew).
    std::string shown(const std::string& written) const override
    {
        std::string text;
        std::size_t at = 0;
        while (at < written.size()) {
            if (written[at] == '\x1b') {
                std::size_t end = end_of_sequence(written, at);
                if (end == std::string::npos)
                    break;  // the rest of it has not arrived yet
                text.append(blanks_of(written, at, end), ' ');
                at = end;
                continue;
            }
            if (written[at] == '\r') {
                std::size_t after = written.find_first_not_of('\r', at);
                if (after != std::string::npos && written[after] == '\n') {
                    text += '\n';
                    at = after + 1;
                    continue;
                }
            }
            text += written[at++];
        }
        return text;
    }

    // Without a console (standard input not a terminal), _getch returns at once and
    // reads nothing. Function keys typed on the terminal ("\x1bOP", "\x1b[11~") never
    // reach _getch under Wine. Windows takes names of at most MAX_PATH characters, and
    // writes a drive in whole sectors only.
    bool supports(Feature feature) const override
    {
        return feature == Feature::KeyWaitsEndWithoutInput;
    }

    std::string lock_file() const override { return WINE_LOCK_FILE; }

    // Wine's 64-bit loader of Debian 12 now and then fails an assertion of glibc's exit
    // handlers after the program has ended and its output is complete; it then ends with
    // status 127 and its own line, never the program's. That run is taken as the program
    // ended it, and said so.
    ProgramRun settled(ProgramRun run) const override
    {
        const std::string fault = "Inconsistency detected by ld.so: dl-fini.c: ";
        for (std::string* text : {&run.output, &run.errors}) {
            std::size_t at = text->rfind(fault);
            if (!run.exited || run.exit_status != 127 || at == std::string::npos ||
                text->find('\n', at) + 1 != text->size())
                continue;
            std::fprintf(stderr, "Wine's loader failed after the program ended: %s",
                         text->c_str() + at);
            text->erase(at);
            run.exit_status = 0;
            break;
        }
        return run;
    }

private:
    mutable std::map<Failure, std::string> texts_;

    static std::vector<std::string> wine_command(const std::string& program,
                                                 const std::vector<std::string>& arguments)
    {
        std::vector<std::string> argv = {"env"};
        for (const char* const* setting = WINE_ENVIRONMENT; *setting != nullptr; ++setting)
            argv.push_back(*setting);
        argv.push_back(WINE_LOADER);
        argv.push_back(program);
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return argv;
    }
};

}  // namespace

Backend* wine_backend()
{
    static WineBackend backend;
    return WINE_PROGRAM[0] == '\0' ? nullptr : &backend;
}
