#include "transfer/transfer.h"

namespace {

// The one key that agrees to replace the file.
const int CONFIRMING_KEY = '1';

}  // namespace

// The probe asks for no access at all, only whether the file exists: a file the user may
// write but not read must still get the question before it is replaced. A probe that
// fails finds nothing to ask about; its failure is not reported, and the create that
// follows makes the file or reports why it cannot. When the user declines, the probe
// stays open, like the drive: the process end releases both.
bool confirm_overwrite(const char* file_name)
{
    HANDLE probe = CreateFileA(file_name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (probe == INVALID_HANDLE_VALUE)
        return true;
    printf("Press '1' if you sure, you want to replace existing file\n%s\nor press any key to "
           "exit\n",
           file_name);
    fflush(stdout);
    if (_getch() != CONFIRMING_KEY)
        return false;
    CloseHandle(probe);
    return true;
}
