// Shared libraries through the dynamic linker.
#include "platform/library.h"

#include <dlfcn.h>

#include <cstdio>

void* os_library_open(const char* const* names, char* why, size_t size) {
  if (size > 0) why[0] = '\0';
  for (const char* const* name = names; *name != nullptr; ++name) {
    void* library = dlopen(*name, RTLD_NOW | RTLD_LOCAL);
    if (library != nullptr) return library;
    const char* error = dlerror();
    snprintf(why, size, "%s", error != nullptr ? error : "cannot be loaded");
  }
  return nullptr;
}

void* os_library_symbol(void* library, const char* symbol) {
  return dlsym(library, symbol);
}
