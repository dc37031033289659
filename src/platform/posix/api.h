// The Windows services the program uses, provided on POSIX systems under their Windows
// names, types and constants. Only what the program calls is here, with the behaviour
// it relies on; see each definition for where the port differs from Windows.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cerrno>

typedef std::uint32_t DWORD;
typedef std::int32_t LONG;
// The fixed-width type, so that <cinttypes>' PRIu64 is its format on every build.
typedef std::uint64_t ULONGLONG;
typedef int BOOL;
typedef unsigned char BYTE;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef DWORD* LPDWORD;
typedef void* HANDLE;
typedef struct _SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;
typedef struct _OVERLAPPED* LPOVERLAPPED;
typedef std::uint16_t WORD;

union LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    std::int64_t QuadPart;
};
typedef LARGE_INTEGER* PLARGE_INTEGER;

#define TRUE 1
#define FALSE 0

// A handle is the file descriptor itself, so the failed open's -1 is the invalid handle.
#define INVALID_HANDLE_VALUE ((HANDLE)(std::intptr_t)-1)
#define INVALID_FILE_SIZE ((DWORD)0xFFFFFFFF)

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define TRUNCATE_EXISTING 5u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_BEGIN 0u
#define FILE_CURRENT 1u

#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100u
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200u
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000u
#define LANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#define MAKELANGID(primary, sub) ((((WORD)(sub)) << 10) | (WORD)(primary))

#define _TRUNCATE ((std::size_t)-1)

// Error codes are errno values, so the system's own text describes them. The few
// conditions the program raises itself map onto the errno of the same meaning; the
// end of a source has none, so the port gives it a code above every errno. So does a
// drive's refusal of a transfer past its end, which Windows reports and Linux never
// does: its reads there come back short.
#define NO_ERROR 0u
#define ERROR_SUCCESS 0u
#define ERROR_FILE_NOT_FOUND ((DWORD)ENOENT)
#define ERROR_ACCESS_DENIED ((DWORD)EACCES)
#define ERROR_NOT_ENOUGH_MEMORY ((DWORD)ENOMEM)
#define ERROR_INVALID_PARAMETER ((DWORD)EINVAL)
#define ERROR_HANDLE_DISK_FULL ((DWORD)ENOSPC)
#define ERROR_FILENAME_EXCED_RANGE ((DWORD)ENAMETOOLONG)
#define ERROR_HANDLE_EOF 0x20000026u
#define ERROR_SECTOR_NOT_FOUND 0x2000001Bu

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share_mode, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags_and_attributes, HANDLE template_file);
DWORD GetFileSize(HANDLE file, LPDWORD size_high);
BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, PLARGE_INTEGER new_position,
                      DWORD move_method);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD to_read, LPDWORD read, LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD to_write, LPDWORD written,
               LPOVERLAPPED overlapped);
BOOL FlushFileBuffers(HANDLE file);
// No Windows service: see platform.h. False, with EBUSY as the last error, when the guard
// of a block device would refuse the write; it neither writes nor moves the position.
BOOL may_write_at(HANDLE file, ULONGLONG position, LPCVOID buffer, DWORD count);
// No Windows service: see platform.h. Always true: the port writes a tail of any size.
BOOL may_write_length(HANDLE file, ULONGLONG length);
BOOL CloseHandle(HANDLE object);

DWORD GetLastError();
void SetLastError(DWORD code);
DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD message_id, DWORD language_id,
                     LPSTR buffer, DWORD size, va_list* arguments);

int printf_s(const char* format, ...) __attribute__((format(__printf__, 1, 2)));
int _vsnprintf_s(char* buffer, std::size_t size, std::size_t count, const char* format,
                 va_list arguments) __attribute__((format(__printf__, 4, 0)));
int _getch();
