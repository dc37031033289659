// What the program shows, as the user reads it: every area of the suite compares against
// these same bytes.
#pragma once

#include <string>

const std::string PRESS_ANY_KEY = "Press any key to exit";

const std::string COMPLETION_TEXT = "The operation completed successfully\n" + PRESS_ANY_KEY;

const std::string USAGE_SCREEN =
    "Vorlent allows Read/Write Disk sectors To/From file\nUsage:\n"
    "Vorlent [Key] [Drive] [File] [Sector] [Length] \n"
    "Example:\n Vorlent -S 0 boot.bin 0 512 \n   Save sector 0 of Drive 0 -> to file boot.bin\n\n"
    " Vorlent -L 0 boot.bin 0 512\n   Load sector 0 of drive0 <- from file boot.bin\n"
    "Defaults:\n Length: for Save=512, for Load=[File Size]\n"
    "Sector=0\n" +
    PRESS_ANY_KEY;
