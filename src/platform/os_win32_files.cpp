// The Windows half of the locked state file and of the spool's folder and
// file calls.
#include "platform/os.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "platform/os_win32.h"

// The one byte, far past any real data, whose lock stands for the whole
// file: a lock on the data itself would make reads by others fail.
static OVERLAPPED whole_file_lock_range() {
  OVERLAPPED range = {};
  range.Offset = 0xFFFFFFFEu;
  range.OffsetHigh = 0x7FFFFFFEu;
  return range;
}

int os_locked_open(const char* path, int wait_ms, OsLockedFile* file) {
  file->handle = -1;
  wchar_t* wide = wide_path(path);
  if (wide == nullptr) return ENOENT;
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  HANDLE handle = CreateFileW(wide, GENERIC_READ | GENERIC_WRITE, share, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD open_error = GetLastError();
  free(wide);
  if (handle == INVALID_HANDLE_VALUE) return errno_from_win32(open_error);
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    CloseHandle(handle);
    return EINVAL;
  }
  ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(wait_ms > 0 ? wait_ms : 0);
  for (;;) {
    OVERLAPPED range = whole_file_lock_range();
    if (LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                   &range)) {
      break;
    }
    DWORD error = GetLastError();
    if (error != ERROR_LOCK_VIOLATION && error != ERROR_IO_PENDING) {
      CloseHandle(handle);
      return errno_from_win32(error);
    }
    if (GetTickCount64() >= deadline) {
      CloseHandle(handle);
      return EWOULDBLOCK;
    }
    Sleep(1);
  }
  file->handle = reinterpret_cast<intptr_t>(handle);
  return 0;
}

static HANDLE locked_handle(OsLockedFile* file) {
  return reinterpret_cast<HANDLE>(file->handle);
}

long os_locked_read(OsLockedFile* file, char* data, size_t size) {
  HANDLE handle = locked_handle(file);
  LARGE_INTEGER start = {};
  if (!SetFilePointerEx(handle, start, nullptr, FILE_BEGIN)) {
    return -static_cast<long>(errno_from_win32(GetLastError()));
  }
  size_t done = 0;
  while (done < size) {
    DWORD chunk = size - done > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size - done);
    DWORD got = 0;
    if (!ReadFile(handle, data + done, chunk, &got, nullptr)) {
      return -static_cast<long>(errno_from_win32(GetLastError()));
    }
    if (got == 0) break;
    done += got;
  }
  return static_cast<long>(done);
}

int os_locked_rewrite(OsLockedFile* file, const char* data, size_t len) {
  HANDLE handle = locked_handle(file);
  LARGE_INTEGER start = {};
  if (!SetFilePointerEx(handle, start, nullptr, FILE_BEGIN) || !write_all(handle, data, len)) {
    return errno_from_win32(GetLastError());
  }
  if (!SetEndOfFile(handle)) return errno_from_win32(GetLastError());
  return 0;
}

long os_locked_read_at(OsLockedFile* file, long long offset, char* data, size_t size) {
  HANDLE handle = locked_handle(file);
  LARGE_INTEGER start = {};
  start.QuadPart = offset;
  if (!SetFilePointerEx(handle, start, nullptr, FILE_BEGIN)) {
    return -static_cast<long>(errno_from_win32(GetLastError()));
  }
  size_t done = 0;
  while (done < size) {
    DWORD got = 0;
    if (!ReadFile(handle, data + done, static_cast<DWORD>(size - done), &got, nullptr)) {
      return -static_cast<long>(errno_from_win32(GetLastError()));
    }
    if (got == 0) break;
    done += got;
  }
  return static_cast<long>(done);
}

int os_locked_write_at(OsLockedFile* file, long long offset, const char* data, size_t len) {
  HANDLE handle = locked_handle(file);
  LARGE_INTEGER start = {};
  start.QuadPart = offset;
  if (!SetFilePointerEx(handle, start, nullptr, FILE_BEGIN) || !write_all(handle, data, len)) {
    return errno_from_win32(GetLastError());
  }
  return 0;
}

void os_locked_close(OsLockedFile* file) {
  if (file->handle == -1) return;
  HANDLE handle = locked_handle(file);
  OVERLAPPED range = whole_file_lock_range();
  UnlockFileEx(handle, 0, 1, 0, &range);
  CloseHandle(handle);
  file->handle = -1;
}

int os_make_directory(const char* path) {
  wchar_t* wide = wide_path(path);
  if (wide == nullptr) return ENOMEM;
  // The folder takes the rights of its parent, as files made by hand do.
  bool made = CreateDirectoryW(wide, nullptr) != 0;
  DWORD code = GetLastError();
  free(wide);
  return made ? 0 : errno_from_win32(code);
}

int os_remove_directory(const char* path) {
  wchar_t* wide = wide_path(path);
  if (wide == nullptr) return ENOMEM;
  bool removed = RemoveDirectoryW(wide) != 0;
  DWORD code = GetLastError();
  free(wide);
  return removed ? 0 : errno_from_win32(code);
}

int os_write_new_file(const char* path, const char* data, size_t len,
                      bool flush_to_disk) {
  wchar_t* wide = wide_path(path);
  if (wide == nullptr) return ENOMEM;
  // No sharing while it is written; CREATE_NEW refuses an existing file.
  HANDLE file = CreateFileW(wide, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD code = GetLastError();
  free(wide);
  if (file == INVALID_HANDLE_VALUE) return errno_from_win32(code);
  int err = 0;
  if (!write_all(file, data, len)) {
    err = errno_from_win32(GetLastError());
  } else if (flush_to_disk && !FlushFileBuffers(file)) {
    err = errno_from_win32(GetLastError());
  }
  if (!CloseHandle(file) && err == 0) err = errno_from_win32(GetLastError());
  return err;
}

int os_flush_directory(const char*) { return 0; }

int os_remove_file(const char* path) {
  wchar_t* wide = wide_path(path);
  if (wide == nullptr) return ENOMEM;
  bool removed = DeleteFileW(wide) != 0;
  DWORD code = GetLastError();
  free(wide);
  return removed ? 0 : errno_from_win32(code);
}

int os_list_directory(const char* path, void (*each)(const char* name, void* context),
                      void* context) {
  size_t length = strlen(path);
  char* pattern = static_cast<char*>(malloc(length + 3));
  if (pattern == nullptr) return ENOMEM;
  memcpy(pattern, path, length);
  memcpy(pattern + length, "\\*", 3);
  wchar_t* wide = wide_path(pattern);
  free(pattern);
  if (wide == nullptr) return ENOMEM;
  WIN32_FIND_DATAW found;
  HANDLE walk = FindFirstFileW(wide, &found);
  DWORD code = GetLastError();
  free(wide);
  if (walk == INVALID_HANDLE_VALUE) {
    // An empty folder still has "." and ".."; this means no folder at all.
    return code == ERROR_FILE_NOT_FOUND ? 0 : errno_from_win32(code);
  }
  do {
    if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0) continue;
    char name[MAX_PATH * 4];
    int n = WideCharToMultiByte(CP_ACP, 0, found.cFileName, -1, name, sizeof name,
                                nullptr, nullptr);
    if (n > 0) each(name, context);
  } while (FindNextFileW(walk, &found));
  code = GetLastError();
  FindClose(walk);
  return code == ERROR_NO_MORE_FILES ? 0 : errno_from_win32(code);
}


// The attributes of `path` itself (a reparse point is not followed).
static int attributes_of(const char* path, WIN32_FILE_ATTRIBUTE_DATA* info) {
  wchar_t* wide = wide_path(path);
  if (wide == nullptr) return ENOMEM;
  bool got = GetFileAttributesExW(wide, GetFileExInfoStandard, info) != 0;
  DWORD code = GetLastError();
  free(wide);
  return got ? 0 : errno_from_win32(code);
}

long os_read_at(const char* path, long long offset, char* out, size_t size) {
  wchar_t* wide = wide_path(path);
  if (wide == nullptr) return -1;
  HANDLE file = CreateFileW(wide, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE |
                            FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  free(wide);
  if (file == INVALID_HANDLE_VALUE) return -1;
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFLL);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD got = 0;
  DWORD want = static_cast<DWORD>(size > (1u << 20) ? (1u << 20) : size);
  bool read = ReadFile(file, out, want, &got, &at) != 0 || GetLastError() == ERROR_HANDLE_EOF;
  CloseHandle(file);
  return read ? static_cast<long>(got) : -1;
}

int os_file_size(const char* path, long long* bytes) {
  WIN32_FILE_ATTRIBUTE_DATA info;
  int err = attributes_of(path, &info);
  if (err != 0) return err;
  if (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) {
    return EINVAL;
  }
  *bytes = (static_cast<long long>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  return 0;
}

int os_disk_space(const char* path, long long* free_bytes, long long* total_bytes) {
  wchar_t* wide = wide_path(path);
  if (wide == nullptr) return ENOMEM;
  ULARGE_INTEGER available = {};
  ULARGE_INTEGER total = {};
  bool got = GetDiskFreeSpaceExW(wide, &available, &total, nullptr) != 0;
  DWORD code = GetLastError();
  free(wide);
  if (!got) return errno_from_win32(code);
  *free_bytes = static_cast<long long>(available.QuadPart);
  *total_bytes = static_cast<long long>(total.QuadPart);
  return 0;
}

bool os_is_link(const char* path) {
  WIN32_FILE_ATTRIBUTE_DATA info;
  return attributes_of(path, &info) == 0 &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// The folder's rights decide who may use it.
bool os_owned_by_me(const char*) { return true; }

bool os_readable_by_others(const char*) { return false; }

int os_read_regular_file(const char* path, size_t max, char** data, size_t* length) {
  *data = nullptr;
  *length = 0;
  wchar_t* wide = wide_path(path);
  if (wide == nullptr) return ENOMEM;
  HANDLE file = CreateFileW(wide, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE |
                            FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  DWORD code = GetLastError();
  free(wide);
  if (file == INVALID_HANDLE_VALUE) return errno_from_win32(code);
  BY_HANDLE_FILE_INFORMATION info;
  int err = 0;
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info)) {
    err = EINVAL;
  } else if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    err = ELOOP;
  } else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    err = EINVAL;
  }
  unsigned long long size =
      err == 0 ? (static_cast<unsigned long long>(info.nFileSizeHigh) << 32) | info.nFileSizeLow
               : 0;
  if (err == 0 && size > max) err = EFBIG;
  char* block = err == 0 ? static_cast<char*>(malloc(static_cast<size_t>(size) + 1)) : nullptr;
  if (err == 0 && block == nullptr) err = ENOMEM;
  size_t used = 0;
  while (err == 0 && used < size) {
    DWORD got = 0;
    DWORD want = static_cast<DWORD>(size - used > 1u << 20 ? 1u << 20 : size - used);
    if (!ReadFile(file, block + used, want, &got, nullptr)) err = errno_from_win32(GetLastError());
    if (got == 0) break;
    used += got;
  }
  CloseHandle(file);
  if (err != 0) {
    free(block);
    return err;
  }
  block[used] = '\0';
  *data = block;
  *length = used;
  return 0;
}

int os_file_mtime(const char* path, long long* seconds) {
  wchar_t* wide = wide_path(path);
  if (wide == nullptr) return ENOMEM;
  WIN32_FILE_ATTRIBUTE_DATA info;
  bool got = GetFileAttributesExW(wide, GetFileExInfoStandard, &info) != 0;
  DWORD code = GetLastError();
  free(wide);
  if (!got) return errno_from_win32(code);
  *seconds = unix_us_from_filetime(info.ftLastWriteTime) / 1000000LL;
  return 0;
}

int os_touch_file(const char* path) {
  wchar_t* wide = wide_path(path);
  if (wide == nullptr) return ENOMEM;
  HANDLE file = CreateFileW(wide, FILE_WRITE_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD code = GetLastError();
  free(wide);
  if (file == INVALID_HANDLE_VALUE) return errno_from_win32(code);
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  int err = SetFileTime(file, nullptr, nullptr, &now) ? 0 : errno_from_win32(GetLastError());
  CloseHandle(file);
  return err;
}
