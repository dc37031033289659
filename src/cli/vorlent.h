#pragma once

// Carries one run from its command line to its end. Returns the exit status, which is 0
// on every path: it never tells success from failure.
int vorlent_main(int argc, char* argv[]);
