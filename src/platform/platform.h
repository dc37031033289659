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
#else
#include "platform/posix/api.h"
#endif

#include <stdio.h>
#include <stdlib.h>
