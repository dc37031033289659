// A Windows helper for the end-to-end cases under Wine: prints what Vorlent.exe shows after
// "Error " for a failure named by meaning (as in backend.h), asking FormatMessageA the way
// the program does, so the cases expect the words of the system they run on.
//   windows_error_text <failure>
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <string.h>

namespace {

struct Meaning {
    const char* name;
    DWORD code;
};

// Windows opens no folder as a file: it refuses with "access denied". Wine reports a
// device that could not store what it had taken (its flush met EIO) as not ready.
const Meaning MEANINGS[] = {{"NotFound", ERROR_FILE_NOT_FOUND},
                            {"EndOfFile", ERROR_HANDLE_EOF},
                            {"NameTooLong", ERROR_FILENAME_EXCED_RANGE},
                            {"InvalidParameter", ERROR_INVALID_PARAMETER},
                            {"DiskFull", ERROR_HANDLE_DISK_FULL},
                            {"IsDirectory", ERROR_ACCESS_DENIED},
                            {"WriteBackFailed", ERROR_NOT_READY}};

}  // namespace

int main(int argc, char* argv[])
{
    if (argc != 2)
        return 2;
    for (const Meaning& meaning : MEANINGS) {
        if (strcmp(argv[1], meaning.name) != 0)
            continue;
        char* text = NULL;
        DWORD length = FormatMessageA(
            FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                FORMAT_MESSAGE_FROM_SYSTEM,
            NULL, meaning.code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
            reinterpret_cast<LPSTR>(&text), 0, NULL);
        // The bytes as the system gives them, with no line breaks added by the runtime.
        _setmode(_fileno(stdout), _O_BINARY);
        if (length == 0 || text == NULL)
            printf("%lu\n", static_cast<unsigned long>(meaning.code));
        else
            fwrite(text, 1, length, stdout);
        return 0;
    }
    return 2;
}
