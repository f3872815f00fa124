#include "platform/file_stream.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "platform/os.h"
#include "platform/os_win32.h"

namespace {

HANDLE handle_of(const OsStreamFile* file) { return reinterpret_cast<HANDLE>(file->handle); }

void keep(OsStreamFile* file, HANDLE handle) {
  file->handle = reinterpret_cast<intptr_t>(handle);
}

// Scratch files of runs older than a day: only a machine that stopped
// while a run held one leaves it (delete-on-close removes it otherwise). A
// live one is shared for deletion, so removing it early does no harm.
void remove_stale(const wchar_t* folder) {
  wchar_t pattern[MAX_PATH + 1];
  if (swprintf(pattern, MAX_PATH + 1, L"%lsquillon-upload-*.tmp", folder) < 0) return;
  WIN32_FIND_DATAW found;
  HANDLE walk = FindFirstFileW(pattern, &found);
  if (walk == INVALID_HANDLE_VALUE) return;
  FILETIME now_time;
  GetSystemTimeAsFileTime(&now_time);
  ULARGE_INTEGER now = {{now_time.dwLowDateTime, now_time.dwHighDateTime}};
  const unsigned long long kDay = 24ULL * 3600 * 10000000;  // in 100 ns
  do {
    ULARGE_INTEGER written = {{found.ftLastWriteTime.dwLowDateTime,
                               found.ftLastWriteTime.dwHighDateTime}};
    wchar_t path[MAX_PATH + 1];
    if (now.QuadPart - written.QuadPart > kDay &&
        swprintf(path, MAX_PATH + 1, L"%ls%ls", folder, found.cFileName) > 0) {
      DeleteFileW(path);
    }
  } while (FindNextFileW(walk, &found));
  FindClose(walk);
}

}  // namespace

int os_scratch_open(OsStreamFile* file) {
  wchar_t folder[MAX_PATH + 1];
  DWORD n = GetTempPathW(MAX_PATH + 1, folder);
  if (n == 0 || n > MAX_PATH - 40) return errno_from_win32(GetLastError());
  remove_stale(folder);
  // Created and opened in one call, delete-on-close: the system removes it
  // with the last handle, also the handles of a killed process.
  for (int attempt = 0; attempt < 8; ++attempt) {
    unsigned char random[8] = {0};
    if (!os_random_bytes(random, sizeof random)) {
      unsigned long long mix = GetTickCount64() ^ (static_cast<unsigned long long>(
                                                       GetCurrentProcessId()) << 32);
      memcpy(random, &mix, sizeof random);
      random[0] = static_cast<unsigned char>(random[0] + attempt);
    }
    wchar_t path[MAX_PATH + 1];
    int used = swprintf(path, MAX_PATH + 1, L"%lsquillon-upload-", folder);
    for (unsigned char r : random) used += swprintf(path + used, MAX_PATH + 1 - used, L"%02x", r);
    swprintf(path + used, MAX_PATH + 1 - used, L".tmp");
    HANDLE handle = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                                CREATE_NEW,
                                FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      keep(file, handle);
      return 0;
    }
    if (GetLastError() != ERROR_FILE_EXISTS) return errno_from_win32(GetLastError());
  }
  return EEXIST;
}

int os_stream_create(const char* path, OsStreamFile* file) {
  wchar_t* wide = wide_path(path);
  if (wide == nullptr) return ENOMEM;
  HANDLE handle = CreateFileW(wide, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
  DWORD code = GetLastError();
  free(wide);
  if (handle == INVALID_HANDLE_VALUE) return errno_from_win32(code);
  keep(file, handle);
  return 0;
}

int os_stream_write(OsStreamFile* file, const void* data, size_t size) {
  // Writes go to the end: the file may have been read at an offset since.
  LARGE_INTEGER zero = {};
  if (!SetFilePointerEx(handle_of(file), zero, nullptr, FILE_END)) {
    return errno_from_win32(GetLastError());
  }
  return write_all(handle_of(file), static_cast<const char*>(data), size)
             ? 0
             : errno_from_win32(GetLastError());
}

int os_stream_open_read(const char* path, OsStreamFile* file) {
  wchar_t* wide = wide_path(path);
  if (wide == nullptr) return ENOMEM;
  HANDLE handle = CreateFileW(wide, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  DWORD code = GetLastError();
  free(wide);
  if (handle == INVALID_HANDLE_VALUE) return errno_from_win32(code);
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    CloseHandle(handle);
    return (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? ELOOP : EINVAL;
  }
  keep(file, handle);
  return 0;
}

long os_stream_read_at(const OsStreamFile* file, long long offset, void* out, size_t size) {
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(offset & 0xffffffffLL);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
  DWORD got = 0;
  if (!ReadFile(handle_of(file), out, chunk, &got, &at)) {
    return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
  }
  return static_cast<long>(got);
}

int os_stream_flush(OsStreamFile* file) {
  return FlushFileBuffers(handle_of(file)) ? 0 : errno_from_win32(GetLastError());
}

int os_stream_close(OsStreamFile* file) {
  if (file->handle == kNoStreamFile) return 0;
  int err = CloseHandle(handle_of(file)) ? 0 : errno_from_win32(GetLastError());
  file->handle = kNoStreamFile;
  return err;
}
