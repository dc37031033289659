// The one header through which the program reaches its platform. The logic calls the
// operations by their Windows names; on Windows they are the real services, elsewhere
// the port declared in posix/api.h provides them.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <conio.h>

// Asks, without writing, whether `drive` takes the `count` bytes at `buffer` at byte
// `position`. A Load writes its first chunk, which holds the partition table, last, so that
// the drive keeps its table when a later write fails; the Linux port must still refuse an
// image aimed at a disk in use before any byte of it is written, and asks its guard here.
// Windows has no such question: its own refusals come from the writes themselves.
inline BOOL may_write_at(HANDLE, ULONGLONG, LPCVOID, DWORD)
{
    return TRUE;
}

// Asks, without writing, whether `drive` takes `length` bytes written from where it stands
// in several writes, each but the last a whole number of sectors. A caller that writes in
// several parts asks before the first. Windows reads and writes a physical drive only in
// whole sectors: a write of any other count fails whole with ERROR_INVALID_PARAMETER
// (KB100027, "Direct Drive Access Under Win32"), so a length that is not whole sectors
// would fail only at its last write, after every other part. Such a length is refused
// here, with that code. (A disk of 4,096-byte sectors also refuses a last write that is
// whole in 512 bytes only; its sector size is not asked here.) The Linux port writes any
// tail, and says yes.
inline BOOL may_write_length(HANDLE, ULONGLONG length)
{
    if (length % 512 == 0)
        return TRUE;
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}
#else
#include "platform/posix/api.h"
#endif

#include <stdio.h>
#include <stdlib.h>
