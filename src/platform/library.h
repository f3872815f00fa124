#pragma once
// Shared libraries opened at run time (dlopen, LoadLibrary), for the
// optional engines a run loads only when a setting asks for them. Defined
// once in library_posix.cpp and once in library_win32.cpp. Touches nothing
// else; logs nothing: the caller words the error.

#include <cstddef>

// Whether libraries are Windows DLLs (else ELF shared objects), for a
// caller choosing the names to try.
#ifdef _WIN32
constexpr bool kOsLibrariesAreDlls = true;
#else
constexpr bool kOsLibrariesAreDlls = false;
#endif

// Opens the first of `names` (null-ended) that loads: on POSIX by the
// dynamic linker's search (LD_LIBRARY_PATH first); on Windows each name
// from the system folder, then from the program's own folder. Null when
// none loads, with the last reason in `why`.
void* os_library_open(const char* const* names, char* why, size_t size);

// The address of `symbol` in `library`, or null.
void* os_library_symbol(void* library, const char* symbol);
