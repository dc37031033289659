// What vorlent-drives shows: every drive number the resolver gives right now, with what
// tells one disk from another and what on it is in use.
#pragma once

#include "platform/posix/guard/disk_usage.h"

#include <string>

// One block per drive in the order of their numbers, blank lines between them, lines
// without data left out; "No drives found.\n" when there are none.
std::string describe_drives(const SystemRoots& roots);
