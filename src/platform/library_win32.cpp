// Shared libraries through LoadLibraryEx: the system folder first, then the
// program's own folder; never the current folder or PATH.
#include "platform/library.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

static HMODULE load_from(const char* folder, const char* name) {
  char path[MAX_PATH];
  if (strlen(folder) + 1 + strlen(name) >= sizeof path) return nullptr;
  snprintf(path, sizeof path, "%s\\%s", folder, name);
  return LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

void* os_library_open(const char* const* names, char* why, size_t size) {
  char system[MAX_PATH];
  UINT system_length = GetSystemDirectoryA(system, sizeof system);
  if (system_length == 0 || system_length >= sizeof system) system[0] = '\0';
  char own[MAX_PATH];
  DWORD own_length = GetModuleFileNameA(nullptr, own, sizeof own);
  if (own_length == 0 || own_length >= sizeof own) own[0] = '\0';
  char* cut = strrchr(own, '\\');
  if (cut != nullptr) *cut = '\0';
  for (const char* const* name = names; *name != nullptr; ++name) {
    HMODULE library = system[0] != '\0' ? load_from(system, *name) : nullptr;
    if (library == nullptr && own[0] != '\0') library = load_from(own, *name);
    if (library != nullptr) return reinterpret_cast<void*>(library);
  }
  snprintf(why, size, "none of them is in the system folder or beside the program");
  return nullptr;
}

void* os_library_symbol(void* library, const char* symbol) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), symbol));
}
