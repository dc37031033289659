#include "fake_platform.h"

#include "cli/vorlent.h"

#include <cstdint>
#include <cstring>
#include <map>

namespace {

struct OpenHandle {
    std::string name;
    unsigned long long position;
    bool open;
};

struct Injection {
    std::string op;
    int nth;
    DWORD value;
    bool is_short;
};

struct FakeState {
    std::map<std::string, FakeObject> objects;
    std::vector<OpenHandle> handles;
    std::vector<FakeCall> calls;
    std::vector<Injection> injections;
    std::vector<DWORD> codes_without_text;
    std::deque<int> keys;
    std::string output;
    std::vector<void*> allocations;
    std::map<std::string, int> counts;
    DWORD last_error = 0;
};

FakeState state;

// Handles start above the standard descriptors so a stray 0 is never a valid one.
const std::intptr_t FIRST_HANDLE = 100;

// Windows' code for a handle that is not open, and for a request a device does not serve.
const DWORD ERROR_INVALID_HANDLE_CODE = 6;
const DWORD ERROR_INVALID_FUNCTION_CODE = 1;

HANDLE handle_for(std::size_t index)
{
    return reinterpret_cast<HANDLE>(FIRST_HANDLE + static_cast<std::intptr_t>(index));
}

OpenHandle* open_handle(HANDLE handle)
{
    std::intptr_t index = reinterpret_cast<std::intptr_t>(handle) - FIRST_HANDLE;
    if (index < 0 || static_cast<std::size_t>(index) >= state.handles.size() ||
        !state.handles[static_cast<std::size_t>(index)].open)
        return nullptr;
    return &state.handles[static_cast<std::size_t>(index)];
}

// The open handle behind `handle`, or null with the invalid-handle code as the last error.
OpenHandle* usable_handle(HANDLE handle)
{
    OpenHandle* open = open_handle(handle);
    if (open == nullptr)
        state.last_error = ERROR_INVALID_HANDLE_CODE;
    return open;
}

FakeCall& record(const std::string& op, HANDLE handle = nullptr, const std::string& name = "",
                 std::vector<long long> args = {})
{
    ++state.counts[op];
    state.calls.push_back({op, name, handle, std::move(args)});
    return state.calls.back();
}

// The injection planned for the call just recorded, if any.
const Injection* injection_for(const std::string& op)
{
    for (const Injection& injection : state.injections) {
        if (injection.op == op && injection.nth == state.counts[op])
            return &injection;
    }
    return nullptr;
}

bool injected_failure(const std::string& op)
{
    const Injection* injection = injection_for(op);
    if (injection == nullptr || injection->is_short)
        return false;
    state.last_error = injection->value;
    return true;
}

DWORD allowed_count(const std::string& op, DWORD asked)
{
    const Injection* injection = injection_for(op);
    if (injection != nullptr && injection->is_short && injection->value < asked)
        return injection->value;
    return asked;
}

// Where sector 0 holds the partition table: four entries of 16 bytes, then the signature.
const std::size_t TABLE_BEGIN = 446;
const std::size_t TABLE_END = 512;
const unsigned long long SECTOR_BYTES = 512;

unsigned long long little_endian_32(const unsigned char* bytes)
{
    unsigned long long value = 0;
    for (int at = 3; at >= 0; --at)
        value = value << 8 | bytes[at];
    return value;
}

// Sector 0's table bytes, or none where the disk is shorter than a sector.
std::vector<unsigned char> table_of(const FakeObject& disk)
{
    if (disk.bytes.size() < TABLE_END)
        return {};
    return std::vector<unsigned char>(disk.bytes.begin() + TABLE_BEGIN,
                                      disk.bytes.begin() + TABLE_END);
}

// The partition types Windows mounts a file system of its own on: FAT12, FAT16, NTFS and
// exFAT, FAT32. An extended container (0x05, 0x0F) and the GPT's protective entry (0xEE)
// are no volumes; Linux partitions (0x83, 0x82) are RAW to Windows, and take raw writes.
const unsigned char MOUNTED_TYPES[] = {0x01, 0x04, 0x06, 0x07, 0x0B, 0x0C, 0x0E};

// The volumes Windows mounts from a master boot record's table: those of its entries with
// a mounted type and a size, where it bears the signature 55 AA.
std::vector<FakeVolume> partitions_of(const std::vector<unsigned char>& table)
{
    std::vector<FakeVolume> partitions;
    if (table.size() != TABLE_END - TABLE_BEGIN || table[64] != 0x55 || table[65] != 0xAA)
        return partitions;
    for (std::size_t entry = 0; entry < 4; ++entry) {
        const unsigned char* row = table.data() + 16 * entry;
        unsigned long long first = little_endian_32(row + 8), count = little_endian_32(row + 12);
        if (std::memchr(MOUNTED_TYPES, row[4], sizeof MOUNTED_TYPES) != nullptr && count != 0)
            partitions.push_back({first * SECTOR_BYTES, (first + count) * SECTOR_BYTES, true});
    }
    return partitions;
}

bool touches_a_mounted_volume(const FakeObject& disk, unsigned long long position, DWORD count)
{
    for (const FakeVolume& volume : disk.volumes) {
        if (volume.mounted && count > 0 && position < volume.end &&
            volume.begin < position + count)
            return true;
    }
    return false;
}

unsigned long long size_of(const FakeObject& object)
{
    return object.hollow ? object.reported_size : object.bytes.size();
}

// Windows' rules for a raw transfer of `count` bytes at `position` of a physical drive; a
// refusal fails it whole, before any byte moves, with its code as the last error. Only
// whole sectors at whole-sector positions, or "The parameter is incorrect" (KB100027). Past
// the drive's end, the device refuses it ("The drive cannot find the sector requested").
// A write succeeds only outside every volume, or in one with no file system mounted, or
// locked or dismounted (this program does neither), or "Access is denied" (WriteFile's
// remarks; one tool reported the part before the volume written: the model keeps it whole).
bool refused_by_windows(const FakeObject& disk, unsigned long long position, DWORD count,
                        bool writing)
{
    if (!disk.windows_disk)
        return false;
    if (position % disk.sector_size != 0 || count % disk.sector_size != 0)
        state.last_error = ERROR_INVALID_PARAMETER;
    else if (count > 0 && position + count > size_of(disk))
        state.last_error = ERROR_SECTOR_NOT_FOUND;
    else if (writing && touches_a_mounted_volume(disk, position, count))
        state.last_error = ERROR_ACCESS_DENIED;
    else
        return false;
    return true;
}

std::string format_text(const char* format, va_list arguments)
{
    va_list copy;
    va_copy(copy, arguments);
    int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(static_cast<std::size_t>(needed > 0 ? needed : 0), '\0');
    std::vsnprintf(&text[0], text.size() + 1, format, arguments);
    return text;
}

}  // namespace

void fake_reset()
{
    for (void* allocation : state.allocations)
        std::free(allocation);
    state = FakeState();
}

FakeObject& fake_add_object(const std::string& name, const std::vector<unsigned char>& bytes)
{
    FakeObject& object = state.objects[name];
    object = FakeObject();
    object.bytes = bytes;
    return object;
}

bool fake_has_object(const std::string& name)
{
    return state.objects.count(name) != 0;
}

FakeObject& fake_object(const std::string& name)
{
    return state.objects.at(name);
}

void fake_fail(const std::string& op, int nth, DWORD code)
{
    state.injections.push_back({op, nth, code, false});
}

void fake_short(const std::string& op, int nth, DWORD count)
{
    state.injections.push_back({op, nth, count, true});
}

void fake_without_text(DWORD code)
{
    state.codes_without_text.push_back(code);
}

std::string fake_error_text(DWORD code)
{
    return "System text " + std::to_string(code) + "\n";
}

void fake_press(const std::string& keys)
{
    for (char key : keys)
        state.keys.push_back(static_cast<unsigned char>(key));
}

const std::vector<FakeCall>& fake_calls()
{
    return state.calls;
}

std::vector<std::string> fake_ops()
{
    std::vector<std::string> ops;
    for (const FakeCall& call : state.calls)
        ops.push_back(call.op);
    return ops;
}

std::vector<FakeCall> fake_calls_of(const std::string& op)
{
    std::vector<FakeCall> matching;
    for (const FakeCall& call : state.calls) {
        if (call.op == op)
            matching.push_back(call);
    }
    return matching;
}

const std::string& fake_output()
{
    return state.output;
}

int fake_run_vorlent(const std::vector<std::string>& arguments)
{
    std::vector<std::string> texts = {"Vorlent"};
    texts.insert(texts.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& text : texts)
        argv.push_back(&text[0]);
    argv.push_back(nullptr);
    return vorlent_main(static_cast<int>(texts.size()), argv.data());
}

std::vector<unsigned char> pattern_bytes(std::size_t count, unsigned seed)
{
    std::vector<unsigned char> bytes(count);
    std::uint32_t value = seed * 2654435761u + 1;
    for (std::size_t i = 0; i < count; ++i) {
        value = value * 1664525u + 1013904223u;
        bytes[i] = static_cast<unsigned char>(value >> 24);
    }
    return bytes;
}

// The platform operations the logic calls.

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share_mode, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags_and_attributes, HANDLE template_file)
{
    FakeCall& call = record("CreateFileA", nullptr, name,
                            {access, share_mode, disposition, flags_and_attributes,
                             security != nullptr, template_file != nullptr});
    call.handle = INVALID_HANDLE_VALUE;
    if (injected_failure("CreateFileA"))
        return INVALID_HANDLE_VALUE;
    bool exists = fake_has_object(name);
    if (disposition == OPEN_EXISTING && !exists) {
        state.last_error = ERROR_FILE_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    if (disposition == CREATE_ALWAYS)
        fake_add_object(name, {});
    state.handles.push_back({name, 0, true});
    state.calls.back().handle = handle_for(state.handles.size() - 1);
    return state.calls.back().handle;
}

DWORD GetFileSize(HANDLE file, LPDWORD size_high)
{
    record("GetFileSize", file);
    if (injected_failure("GetFileSize"))
        return INVALID_FILE_SIZE;
    OpenHandle* handle = usable_handle(file);
    if (handle == nullptr)
        return INVALID_FILE_SIZE;
    const FakeObject& object = fake_object(handle->name);
    // Windows tells no size of a disk here: only a device control request would.
    if (object.windows_disk) {
        state.last_error = ERROR_INVALID_FUNCTION_CODE;
        return INVALID_FILE_SIZE;
    }
    unsigned long long size =
        object.has_reported_size ? object.reported_size : object.bytes.size();
    if (size_high != nullptr)
        *size_high = static_cast<DWORD>(size >> 32);
    state.last_error = NO_ERROR;
    return static_cast<DWORD>(size);
}

BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, PLARGE_INTEGER new_position,
                      DWORD move_method)
{
    record("SetFilePointerEx", file, "", {distance.QuadPart, move_method});
    OpenHandle* handle = open_handle(file);
    if (injected_failure("SetFilePointerEx"))
        return FALSE;
    long long base = handle != nullptr && move_method == FILE_CURRENT
                         ? static_cast<long long>(handle->position)
                         : 0;
    if (handle == nullptr || (move_method != FILE_BEGIN && move_method != FILE_CURRENT) ||
        distance.QuadPart < -base) {
        state.last_error = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    handle->position = static_cast<unsigned long long>(base + distance.QuadPart);
    if (new_position != nullptr)
        new_position->QuadPart = static_cast<long long>(handle->position);
    return TRUE;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD to_read, LPDWORD read_count,
              LPOVERLAPPED overlapped)
{
    FakeCall& call = record("ReadFile", file, "",
                            {to_read, 0, overlapped != nullptr,
                             static_cast<long long>(reinterpret_cast<std::uintptr_t>(buffer))});
    *read_count = 0;
    if (injected_failure("ReadFile"))
        return FALSE;
    OpenHandle* handle = usable_handle(file);
    if (handle == nullptr)
        return FALSE;
    const FakeObject& object = fake_object(handle->name);
    if (refused_by_windows(object, handle->position, to_read, false))
        return FALSE;
    unsigned long long size = size_of(object);
    unsigned long long available = handle->position < size ? size - handle->position : 0;
    DWORD count = allowed_count("ReadFile", to_read);
    if (available < count)
        count = static_cast<DWORD>(available);
    if (object.hollow)
        std::memset(buffer, 0, count);
    else if (count > 0)
        std::memcpy(buffer, object.bytes.data() + handle->position, count);
    handle->position += count;
    *read_count = count;
    call.args[1] = count;
    return TRUE;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD to_write, LPDWORD written,
               LPOVERLAPPED overlapped)
{
    FakeCall& call = record("WriteFile", file, "",
                            {to_write, 0, overlapped != nullptr,
                             static_cast<long long>(reinterpret_cast<std::uintptr_t>(buffer))});
    *written = 0;
    if (injected_failure("WriteFile"))
        return FALSE;
    OpenHandle* handle = usable_handle(file);
    if (handle == nullptr)
        return FALSE;
    FakeObject& object = fake_object(handle->name);
    std::vector<unsigned char>& bytes = object.bytes;
    DWORD count = allowed_count("WriteFile", to_write);
    if (refused_by_windows(object, handle->position, to_write, true))
        return FALSE;
    // When the table in sector 0 changes, Windows reads it again and mounts the partitions
    // it now describes, as developers of other imaging tools have reported: a table written
    // before its partitions closes them to the writes that follow.
    std::vector<unsigned char> table_before;
    if (object.windows_disk)
        table_before = table_of(object);
    if (!object.hollow && count > 0) {
        if (bytes.size() < handle->position + count)
            bytes.resize(handle->position + count);
        std::memcpy(bytes.data() + handle->position, buffer, count);
    }
    if (object.windows_disk && table_of(object) != table_before)
        object.volumes = partitions_of(table_of(object));
    handle->position += count;
    *written = count;
    call.args[1] = count;
    return TRUE;
}

// Windows has no such question and always says yes (see platform.h).
BOOL may_write_at(HANDLE file, ULONGLONG position, LPCVOID buffer, DWORD count)
{
    record("may_write_at", file, "",
           {static_cast<long long>(position), count,
            static_cast<long long>(reinterpret_cast<std::uintptr_t>(buffer))});
    if (injected_failure("may_write_at"))
        return FALSE;
    return usable_handle(file) != nullptr;
}

// On a disk under Windows' rules, Windows' own answer (see platform.h); elsewhere the
// port's, which takes a tail of any size.
BOOL may_write_length(HANDLE file, ULONGLONG length)
{
    record("may_write_length", file, "", {static_cast<long long>(length)});
    OpenHandle* handle = usable_handle(file);
    if (injected_failure("may_write_length") || handle == nullptr)
        return FALSE;
    bool refused = fake_object(handle->name).windows_disk && length % 512 != 0;
    if (refused)
        state.last_error = ERROR_INVALID_PARAMETER;
    return !refused;
}

BOOL FlushFileBuffers(HANDLE file)
{
    record("FlushFileBuffers", file);
    if (injected_failure("FlushFileBuffers"))
        return FALSE;
    return usable_handle(file) != nullptr;
}

BOOL CloseHandle(HANDLE object)
{
    record("CloseHandle", object);
    OpenHandle* handle = usable_handle(object);
    if (handle == nullptr)
        return FALSE;
    handle->open = false;
    return TRUE;
}

DWORD GetLastError()
{
    record("GetLastError");
    return state.last_error;
}

void SetLastError(DWORD code)
{
    record("SetLastError", nullptr, "", {code});
    state.last_error = code;
}

DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD message_id, DWORD language_id,
                     LPSTR buffer, DWORD size, va_list* arguments)
{
    record("FormatMessageA", nullptr, "",
           {flags, message_id, language_id, source != nullptr, size, arguments != nullptr});
    for (DWORD code : state.codes_without_text) {
        if (code == message_id)
            return 0;
    }
    std::string text = fake_error_text(message_id);
    char* copy = static_cast<char*>(std::malloc(text.size() + 1));
    std::memcpy(copy, text.c_str(), text.size() + 1);
    state.allocations.push_back(copy);
    *reinterpret_cast<char**>(buffer) = copy;
    return static_cast<DWORD>(text.size());
}

int printf_s(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    std::string text = format_text(format, arguments);
    va_end(arguments);
    record("printf_s", nullptr, text);
    state.output += text;
    return static_cast<int>(text.size());
}

int fake_printf(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    std::string text = format_text(format, arguments);
    va_end(arguments);
    record("printf", nullptr, text);
    state.output += text;
    return static_cast<int>(text.size());
}

void* fake_malloc(size_t size)
{
    record("malloc", nullptr, "", {static_cast<long long>(size)});
    if (injected_failure("malloc"))
        return nullptr;
    void* block = std::malloc(size);
    state.allocations.push_back(block);
    return block;
}

int _getch()
{
    record("_getch");
    if (state.keys.empty())
        return -1;
    int key = state.keys.front();
    state.keys.pop_front();
    return key;
}
