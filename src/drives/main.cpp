// vorlent-drives: shows which disk each of vorlent's drive numbers names right now. It
// reads /sys, the mount table and the swap list, and asks the kernel about a disk only
// through an exclusive open of the disk for an instant, never of a partition a mount or
// mkfs may be about to take; so it needs no rights and changes nothing.
#include "drives/drive_list.h"

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
