// What the command line asks for, and how a run of it ended.
#pragma once

#include "platform/platform.h"

// The size of each name buffer: 1,023 characters and the terminating zero.
const int NAME_BUFFER_SIZE = 1024;

enum TransferMode {
    Load,  // file to drive
    Save,  // drive to file
};

struct TransferRequest {
    TransferMode mode;
    char drive_path[NAME_BUFFER_SIZE];  // the raw name of the physical drive
    char file_name[NAME_BUFFER_SIZE];   // the File argument as typed
    ULONGLONG length;                   // bytes to copy; 0 until the run settles its default
    ULONGLONG sector;                   // 512-byte sector of the drive the transfer starts at
};

enum RunOutcome {
    Completed,  // every byte copied and both ends closed
    Failed,     // a failure was reported, key wait included
    Declined,   // the user kept the existing output file
};
