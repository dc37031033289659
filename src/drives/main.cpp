// vorlent-drives: shows which disk each of vorlent's drive numbers names right now. It
// reads /sys, the mount table and the swap list, and the partition tables that place parts
// in use where it may; it asks the kernel about a disk only through an exclusive open of
// the disk for an instant, never of a partition a mount or mkfs may be about to take. So
// it needs no rights (a table it cannot read is not shown, or shown at unknown bytes) and
// changes nothing.
#include "drives/drive_list.h"
#include "platform/posix/drives.h"

#include <cstdio>

int main(int argc, char** /*argv*/)
{
    if (argc > 1) {
        std::fputs("Usage: vorlent-drives (no arguments): lists the drives vorlent numbers\n",
                   stderr);
        return 2;
    }
    std::string listing = describe_drives(system_roots());
    // A listing cut short must not pass for a whole one.
    if (std::fputs(listing.c_str(), stdout) == EOF || std::fflush(stdout) != 0) {
        std::perror("vorlent-drives");
        return 1;
    }
    return 0;
}
