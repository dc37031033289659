// The command line: Vorlent Key Drive File [Sector] [Length]
#include "cli/vorlent.h"

#include "cli/console.h"
#include "cli/transfer_request.h"
#include "transfer/transfer.h"

#include <string.h>

namespace {

// Forms the raw name of a physical drive from the Drive argument: \\.\physicaldrive<Drive>.
const char DRIVE_NAME_TEMPLATE[] = "\\\\.\\physicaldrive%s";

// The largest count a Length or Sector may name: any 64-bit number. With a minus sign a
// count keeps the 32-bit meaning it has always had, so its magnitude stops at 2^31.
const ULONGLONG LARGEST_COUNT = 0xFFFFFFFFFFFFFFFFull;
const ULONGLONG LARGEST_NEGATIVE_COUNT = 0x80000000ull;

// The largest Sector whose byte offset still fits a signed 64-bit file position.
const ULONGLONG LARGEST_SECTOR = 0x7FFFFFFFFFFFFFFFull / SECTOR_SIZE;

void show_usage()
{
    printf_s("Vorlent allows Read/Write Disk sectors To/From file\nUsage:\n");
    printf_s("Vorlent [Key] [Drive] [File] [Sector] [Length] \n");
    printf_s("Example:\n Vorlent -S 0 boot.bin 0 512 \n   Save sector 0 of Drive 0 -> to file "
             "boot.bin\n\n");
    printf_s(" Vorlent -L 0 boot.bin 0 512\n   Load sector 0 of drive0 <- from file boot.bin\n");
    printf_s("Defaults:\n Length: for Save=512, for Load=[File Size]\n");
    printf_s("Sector=0\n");
    printf_s("Press any key to exit");
    wait_for_key();
}

// Only these four exact keys are accepted; -load, /S or a bare S are not.
bool select_mode(const char* key, TransferMode* mode)
{
    if (strcmp(key, "-L") == 0 || strcmp(key, "-l") == 0) {
        *mode = Load;
        return true;
    }
    if (strcmp(key, "-S") == 0 || strcmp(key, "-s") == 0) {
        *mode = Save;
        return true;
    }
    return false;
}

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Converts a Length or Sector text: optional leading white space, an optional sign, one or
// more decimal digits and nothing after them. A negative value counts back from 2^32, as a
// 32-bit count always has, so "-1" is 4,294,967,295. Returns false for any other text, the
// empty text included, and for values beyond 64 bits or below -2,147,483,648: a text such
// as "0x800" or "1k" read as far as its digits go would send a Load to a sector or a
// length never typed.
bool convert_count(const char* text, ULONGLONG* count)
{
    while (is_space(*text))
        ++text;
    bool negative = *text == '-';
    if (*text == '-' || *text == '+')
        ++text;
    if (*text < '0' || *text > '9')
        return false;
    ULONGLONG magnitude = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        ULONGLONG digit = static_cast<ULONGLONG>(*text - '0');
        if (magnitude > (LARGEST_COUNT - digit) / 10)
            return false;
        magnitude = magnitude * 10 + digit;
    }
    if (*text != '\0' || (negative && magnitude > LARGEST_NEGATIVE_COUNT))
        return false;
    *count = negative ? static_cast<DWORD>(0 - magnitude) : magnitude;
    return true;
}

// A Sector past LARGEST_SECTOR names no place a drive can be positioned at.
bool convert_sector(const char* text, ULONGLONG* sector)
{
    return convert_count(text, sector) && *sector <= LARGEST_SECTOR;
}

// A Drive text is one or more decimal digits and nothing else. The system reads the drive
// name formed from it as a path, so other text could lead a Load anywhere: with the Drive
// "0\..\C:\x" the name collapses to the file C:\x.
bool is_drive_number(const char* text)
{
    if (*text == '\0')
        return false;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9')
            return false;
    }
    return true;
}

// Ends a command line that cannot run with the platform's text for `code`.
void refuse(DWORD code)
{
    SetLastError(code);
    report_system_error();
}

}  // namespace

int vorlent_main(int argc, char* argv[])
{
    TransferRequest request;
    if (argc < 4 || !select_mode(argv[1], &request.mode)) {
        show_usage();
        return 0;
    }
    if (!format_name(request.drive_path, DRIVE_NAME_TEMPLATE, argv[2]) ||
        !format_name(request.file_name, "%s", argv[3])) {
        refuse(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    request.sector = 0;
    request.length = 0;
    if (!is_drive_number(argv[2]) || (argc > 4 && !convert_sector(argv[4], &request.sector)) ||
        (argc > 5 && !convert_count(argv[5], &request.length))) {
        refuse(ERROR_INVALID_PARAMETER);
        return 0;
    }

    RunOutcome outcome = request.mode == Load ? run_load(request) : run_save(request);
    if (outcome == Completed) {
        printf_s("The operation completed successfully\nPress any key to exit");
        wait_for_key();
    }
    return 0;
}
