#include "cli/vorlent.h"

int main(int argc, char* argv[])
{
    return vorlent_main(argc, argv);
}
