// Where a drive ends, found with positioning and reads: the program makes no device control
// request, which is how Windows would tell a disk's size. A Load makes sure the drive holds
// its whole range before it writes a byte, and a Save whose read Windows refuses at the
// drive's end still copies every byte the drive holds.
#include "transfer/transfer.h"

#include <stdint.h>

namespace {

// A 4Kn disk takes only whole blocks of 4,096 bytes, at whole-block positions.
const DWORD LARGE_SECTOR_SIZE = 4096;

// The furthest byte a position can name; no drive reaches it.
const ULONGLONG LAST_POSITION = INT64_MAX;

// What the sector reads land in; on a page boundary, as the transfer buffer is.
alignas(4096) BYTE sector_buffer[LARGE_SECTOR_SIZE];

// How a read of the sector that holds a byte ended.
enum SectorRead { Held, PastTheEnd, ReadFailed };

bool stand_at(HANDLE drive, ULONGLONG position)
{
    LARGE_INTEGER at;
    at.QuadPart = static_cast<long long>(position);
    return SetFilePointerEx(drive, at, NULL, FILE_BEGIN) != 0;
}

// Reads the sector of `drive` that holds byte `at`, a block of `*unit` bytes, and sets `*got`
// to how many of its bytes the drive holds; Held when byte `at` is among them. Windows
// refuses a transfer that is not whole sectors with ERROR_INVALID_PARAMETER: `*unit` then
// becomes 4,096 and the read is made again. A read past the end comes back short (a file,
// and Linux) or fails whole with the sector not found (Windows: its disk class driver hands
// such a read to the device, which refuses it). The port refuses to place a block device
// past its end, with ERROR_INVALID_PARAMETER; Windows places the pointer anywhere, so on
// both builds that failure means the same. ReadFailed leaves the reason as the last error.
SectorRead read_sector_holding(HANDLE drive, ULONGLONG at, DWORD* unit, DWORD* got)
{
    for (;;) {
        *got = 0;
        if (!stand_at(drive, at - at % *unit))
            return GetLastError() == ERROR_INVALID_PARAMETER ? PastTheEnd : ReadFailed;
        if (ReadFile(drive, sector_buffer, *unit, got, NULL))
            return at % *unit < *got ? Held : PastTheEnd;
        *got = 0;
        DWORD code = GetLastError();
        if (code == ERROR_SECTOR_NOT_FOUND)
            return PastTheEnd;
        if (code != ERROR_INVALID_PARAMETER || *unit == LARGE_SECTOR_SIZE)
            return ReadFailed;
        *unit = LARGE_SECTOR_SIZE;
    }
}

}  // namespace

// A size the platform tells is taken where it covers the range: a file's, or a Linux
// device's, which costs no read. Windows tells none for a disk, and a size that does not
// cover the range is never trusted to refuse it: the sector of its last byte is read.
bool drive_holds(HANDLE drive, ULONGLONG offset, ULONGLONG length)
{
    ULONGLONG last = length - 1 > LAST_POSITION - offset ? LAST_POSITION : offset + length - 1;
    ULONGLONG size = 0;
    if (read_size(drive, &size) && size > last)
        return offset == 0 || stand_at(drive, offset);
    DWORD unit = SECTOR_SIZE, got = 0;
    switch (read_sector_holding(drive, last, &unit, &got)) {
    case PastTheEnd:
        SetLastError(ERROR_HANDLE_DISK_FULL);
        return false;
    case ReadFailed:
        return false;
    case Held:
        break;
    }
    return stand_at(drive, offset);
}

// The refused read lay on whole sectors, or Windows would have refused it as not whole, so
// a bisection over its sectors, a dozen reads at most, finds the first that does not read
// whole; every sector before it is read again in one read.
bool read_what_the_drive_holds(HANDLE drive, BYTE* buffer, DWORD count, DWORD* read)
{
    *read = 0;
    LARGE_INTEGER zero, here;
    zero.QuadPart = 0;
    if (!SetFilePointerEx(drive, zero, &here, FILE_CURRENT))
        return false;
    ULONGLONG start = static_cast<ULONGLONG>(here.QuadPart);
    // Every sector below `low` reads whole; the one at `high` does not, and the drive holds
    // `high_got` bytes of it.
    DWORD unit = SECTOR_SIZE, got = 0, high_got = 0;
    ULONGLONG low = start, high = start + count - 1;
    high -= high % unit;
    while (low < high) {
        ULONGLONG middle = low + (high - low) / unit / 2 * unit;
        SectorRead sector = read_sector_holding(drive, middle, &unit, &got);
        if (sector == ReadFailed)
            return false;
        // A 4Kn disk shows its sector size at the first read, while `low` is the start.
        middle -= middle % unit;
        high -= high % unit;
        if (sector == Held && got == unit) {
            low = middle + unit;
        } else {
            high = middle;
            high_got = got;
        }
    }
    ULONGLONG end = high + high_got;
    return stand_at(drive, start) &&
           (end == start || ReadFile(drive, buffer, static_cast<DWORD>(end - start), read, NULL));
}
