// Forced into every logic source built against the fake platform, so that the C runtime
// calls the platform port leaves to the C library are recorded too.
#pragma once

#include <stdio.h>
#include <stdlib.h>

int fake_printf(const char* format, ...) __attribute__((format(__printf__, 1, 2)));
void* fake_malloc(size_t size);

#define printf fake_printf
#define malloc fake_malloc
