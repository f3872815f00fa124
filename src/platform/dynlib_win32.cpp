// The Windows build opens no database client: the settings that need one
// are refused (config) and -check says why.
#include "platform/dynlib.h"

#include <stdio.h>

bool os_libraries_loadable() { return false; }

void* os_library_open(const char* name, char* error, size_t size) {
  snprintf(error, size, "%s: not loaded by the Windows build", name);
  return nullptr;
}

void* os_library_symbol(void*, const char*) { return nullptr; }

int os_wait_descriptor(long long, bool, long long) { return -1; }

void os_clear_environment(const char*) {}
