// The one header through which the program reaches its platform. The logic calls the
// operations by their Windows names; on Windows they are the real services, elsewhere
// the port declared in posix/api.h provides them.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <conio.h>
#else
#include "platform/posix/api.h"
#endif

#include <stdio.h>
#include <stdlib.h>
