// The Windows build opens no database client: the settings that need one
// are refused (config) and -check says why.
#include "platform/dynlib.h"

#include <stdio.h>

bool os_libraries_loadable() { return false; }

int os_wait_descriptor(long long, bool, long long) { return -1; }

void os_clear_environment(const char*) {}
