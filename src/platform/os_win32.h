#pragma once
// What the files of the Windows half of os.h share. Included by
// os_win32*.cpp only.

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <stddef.h>

// The path in the form CreateFileW takes, on the heap (free() it), or null.
wchar_t* wide_path(const char* path);

// The errno value for a Windows error code (EINVAL for one it does not know).
int errno_from_win32(DWORD code);

// Writes all `len` bytes to `file`. False when a write failed.
bool write_all(HANDLE file, const char* data, size_t len);

// Microseconds since 1970 (UTC) of a file time.
long long unix_us_from_filetime(const FILETIME& time);
