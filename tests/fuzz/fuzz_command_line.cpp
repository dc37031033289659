// Drives the entry function with arbitrary command lines against the platform in memory,
// with an existing file, a key answer and a failing platform call all chosen by the input.
// Besides what the sanitizers catch, every run must keep the promises that matter most:
// exit status 0, exactly one key wait at each ending, no report after success, and no byte
// on the destination that did not come, in order, from the source.
//
// Input: four setup bytes, then up to seven arguments separated by zero bytes.
//   byte 0: bit 0 the file named by argument 3 exists; bits 1-7 its size in 64-byte units
//   byte 1: the key pressed at the first key wait (0: no key, the input has ended)
//   byte 2: bits 0-2 the failing call (0 none), bits 3-4 which of its calls (1-4),
//           bit 7 a short transfer instead of a failure, of bits 5-6 as SHORT_COUNTS
//   byte 3: bit 0 the failure's code has no text
#include "fake_platform.h"
#include "screen_texts.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const std::string DRIVE_PREFIX = "\\\\.\\physicaldrive";
const std::string DRIVE = DRIVE_PREFIX + "0";

// The most characters a drive or file name may have: its buffer keeps one for the zero.
const std::size_t LONGEST_NAME = 1023;

// A drive of a few sectors: enough for every path, small enough for many runs a second.
const std::size_t DRIVE_SIZE = 4096;

const std::size_t SETUP_BYTES = 4;
const std::size_t MAX_ARGUMENTS = 7;

// The calls a run may meet on its way, indexed by bits 0-2 of byte 2 (0: none fails).
const char* const FAILING_CALLS[] = {nullptr,    "CreateFileA", "GetFileSize", "SetFilePointerEx",
                                     "ReadFile", "WriteFile",   "malloc",      "FlushFileBuffers"};

// Bytes a short ReadFile or WriteFile moves.
const DWORD SHORT_COUNTS[] = {0, 1, 100, 511};

// The code every injected failure carries.
const DWORD INJECTED_CODE = 5;


void check(bool condition, const char* promise)
{
    if (!condition) {
        std::fprintf(stderr, "broken: %s\n", promise);
        std::abort();
    }
}

bool is_load_key(const std::string& key)
{
    return key == "-L" || key == "-l";
}

// The fake's drive grows to whatever offset a write reaches, which a real drive cannot:
// a Load far into it would only measure the fake's memory. Sectors that may be large (a
// sign, or more than four digits) are left to Save, where the Length meets every number.
bool sector_may_be_far(const std::string& text)
{
    int digits = 0;
    for (char c : text) {
        if (c == '-' || c == '+')
            return true;
        if (c >= '0' && c <= '9')
            ++digits;
    }
    return digits > 4;
}

std::vector<std::string> split_arguments(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::string> arguments(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] != '\0') {
            arguments.back().push_back(static_cast<char>(data[i]));
        } else if (arguments.size() == MAX_ARGUMENTS) {
            break;
        } else {
            arguments.emplace_back();
        }
    }
    return arguments;
}

void plan_failure(std::uint8_t fault, std::uint8_t flags)
{
    const char* call = FAILING_CALLS[fault & 7];
    if (call == nullptr)
        return;
    int nth = ((fault >> 3) & 3) + 1;
    bool transfer = std::string(call) == "ReadFile" || std::string(call) == "WriteFile";
    if ((fault & 0x80) != 0 && transfer)
        fake_short(call, nth, SHORT_COUNTS[(fault >> 5) & 3]);
    else
        fake_fail(call, nth, INJECTED_CODE);
    if ((flags & 1) != 0)
        fake_without_text(INJECTED_CODE);
}

int count_calls(const std::string& op)
{
    return static_cast<int>(fake_calls_of(op).size());
}

// Only the names typed are opened, whole, and only when they fit the name buffers.
void check_names_opened(const std::vector<std::string>& arguments)
{
    for (const FakeCall& call : fake_calls_of("CreateFileA")) {
        check(call.name.size() <= LONGEST_NAME, "an opened name fits its buffer");
        check(call.name == DRIVE_PREFIX + arguments[1] || call.name == arguments[2],
              "an opened name is the drive or the file typed");
    }
}

// Each write moves exactly the bytes the read before it brought in.
void check_writes_follow_reads()
{
    long long last_read = -1;
    for (const FakeCall& call : fake_calls()) {
        if (call.op == "ReadFile")
            last_read = call.args[1];
        if (call.op == "WriteFile") {
            check(last_read > 0, "a write follows a read that brought bytes");
            check(call.args[0] == last_read, "a write asks for exactly the bytes read");
            last_read = -1;
        }
    }
}

long long written_total()
{
    long long total = 0;
    for (const FakeCall& call : fake_calls_of("WriteFile"))
        total += call.args[1];
    return total;
}

// Where the run placed the drive last before its first write (a Load reads the drive's end
// first, elsewhere).
unsigned long long drive_offset()
{
    unsigned long long offset = 0;
    for (const FakeCall& call : fake_calls()) {
        if (call.op == "WriteFile")
            break;
        if (call.op == "SetFilePointerEx" && call.args[1] == FILE_BEGIN)
            offset = static_cast<unsigned long long>(call.args[0]);
    }
    return offset;
}

// Save: the drive is only read. A created output file holds the drive's bytes from where
// the run placed it; an existing file that was not replaced keeps its bytes.
void check_saved_file(const std::string& file, const std::vector<unsigned char>& drive,
                      const std::vector<unsigned char>* existing)
{
    check(fake_object(DRIVE).bytes == drive, "Save leaves the drive as it was");
    bool created = false;
    for (const FakeCall& call : fake_calls_of("CreateFileA"))
        created = created || (call.name == file && call.args[2] == CREATE_ALWAYS &&
                              call.handle != INVALID_HANDLE_VALUE);
    if (!created) {
        check(existing == nullptr ? !fake_has_object(file) : fake_object(file).bytes == *existing,
              "a file that was not replaced keeps its bytes");
        return;
    }
    const std::vector<unsigned char>& saved = fake_object(file).bytes;
    check(static_cast<long long>(saved.size()) == written_total(),
          "the file holds what was written");
    unsigned long long offset = drive_offset();
    check(saved.empty() || offset + saved.size() <= drive.size(), "saved bytes lie on the drive");
    for (std::size_t i = 0; i < saved.size(); ++i)
        check(saved[i] == drive[offset + i], "saved bytes are the drive's, in order");
}

// Load: the drive holds its old bytes except where the file's first bytes were written.
void check_loaded_drive(const std::vector<unsigned char>& before,
                        const std::vector<unsigned char>& file)
{
    const std::vector<unsigned char>& after = fake_object(DRIVE).bytes;
    unsigned long long offset = drive_offset();
    unsigned long long written = static_cast<unsigned long long>(written_total());
    check(written <= file.size(), "no more is written than the file holds");
    for (std::size_t i = 0; i < after.size(); ++i) {
        bool loaded = i >= offset && i < offset + written;
        if (loaded)
            check(after[i] == file[i - offset], "loaded bytes are the file's, in order");
        else
            check(i < before.size() ? after[i] == before[i] : after[i] == 0,
                  "bytes outside the loaded range are untouched");
    }
}

// Runs one command line on a fresh platform and checks what it left behind.
void run_and_check(const std::uint8_t* setup, const std::vector<std::string>& arguments)
{
    bool load = is_load_key(arguments[0]);
    std::vector<unsigned char> drive = pattern_bytes(DRIVE_SIZE, 5);
    fake_add_object(DRIVE, drive);
    std::string file = arguments.size() > 2 ? arguments[2] : "";
    std::vector<unsigned char> file_bytes =
        pattern_bytes(static_cast<std::size_t>(setup[0] >> 1) * 64, 9);
    bool file_exists = (setup[0] & 1) != 0 && !file.empty() && file != DRIVE;
    if (file_exists)
        fake_add_object(file, file_bytes);
    if (setup[1] != 0)
        fake_press(std::string(1, static_cast<char>(setup[1])));
    plan_failure(setup[2], setup[3]);

    check(fake_run_vorlent(arguments) == 0, "the exit status is 0");

    check(!fake_calls().empty() && fake_calls().back().op == "_getch",
          "every ending waits for a key");
    bool asked = count_calls("printf") > 0;
    bool agreed = asked && setup[1] == '1';
    check(count_calls("_getch") == 1 + (agreed ? 1 : 0), "one key wait per ending and question");
    check(count_calls("FormatMessageA") <= 1, "at most one failure is reported");
    bool completed = false;
    for (const FakeCall& call : fake_calls_of("printf_s"))
        completed = completed || call.name == COMPLETION_TEXT;
    check(!(completed && count_calls("FormatMessageA") > 0), "no report before a completion");

    check_names_opened(arguments);
    check_writes_follow_reads();
    if (file.empty() || file == DRIVE)
        return;
    if (load)
        check_loaded_drive(drive, file_exists ? file_bytes : std::vector<unsigned char>());
    else if (arguments[0] == "-S" || arguments[0] == "-s")
        check_saved_file(file, drive, file_exists ? &file_bytes : nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::uint8_t setup[SETUP_BYTES] = {};
    for (std::size_t i = 0; i < SETUP_BYTES && i < size; ++i)
        setup[i] = data[i];
    std::size_t skipped = size < SETUP_BYTES ? size : SETUP_BYTES;
    std::vector<std::string> arguments = split_arguments(data + skipped, size - skipped);
    if (is_load_key(arguments[0]) && arguments.size() > 3 && sector_may_be_far(arguments[3]))
        return -1;
    fake_reset();
    run_and_check(setup, arguments);
    // Frees what the run allocated, so the leak check at the end sees nothing held.
    fake_reset();
    return 0;
}
