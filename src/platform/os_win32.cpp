// rand_s, the C runtime's front to the system's random source, is declared
// only on request, before the first include of stdlib.h (which the C++
// headers of os.h may bring in).
#define _CRT_RAND_S
#include "platform/os.h"

#include "platform/os_win32.h"

#define WIN32_LEAN_AND_MEAN
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>


void os_stdin_binary() { _setmode(_fileno(stdin), _O_BINARY); }

long long os_monotonic_ms() { return static_cast<long long>(GetTickCount64()); }

static int read_handle(HANDLE input, char* buf, DWORD len) {
  DWORD got = 0;
  if (ReadFile(input, buf, len, &got, nullptr)) return static_cast<int>(got);
  // The writer closed its end: the input has ended.
  return GetLastError() == ERROR_BROKEN_PIPE ? kOsReadEnd : kOsReadFailed;
}

int os_read_stdin(char* buf, int len, long long deadline_ms) {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (input == nullptr || input == INVALID_HANDLE_VALUE) return kOsReadEnd;
  DWORD want = len > 0 ? static_cast<DWORD>(len) : 0;
  // A pipe cannot be waited on with a time limit: ask how much is there
  // and look again after a pause. Files and consoles are read directly.
  if (GetFileType(input) != FILE_TYPE_PIPE) return read_handle(input, buf, want);
  for (;;) {
    DWORD available = 0;
    if (!PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr)) {
      if (GetLastError() == ERROR_BROKEN_PIPE) return kOsReadEnd;
      // A pipe that cannot be peeked at is still read, only without a
      // time limit.
      return read_handle(input, buf, want);
    }
    if (available > 0) return read_handle(input, buf, available < want ? available : want);
    if (os_monotonic_ms() >= deadline_ms) return kOsReadTimedOut;
    Sleep(5);
  }
}

// IIS ends a CGI program with TerminateProcess: there is nothing to catch.
void os_catch_termination() {}

bool os_termination_asked() { return false; }

void os_close_stdin() {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  // Closing the C library's descriptor 0 closes the handle it holds as well.
  if (_close(_fileno(stdin)) != 0 && input != nullptr && input != INVALID_HANDLE_VALUE) {
    CloseHandle(input);
  }
  SetStdHandle(STD_INPUT_HANDLE, nullptr);
}


int os_pid() { return _getpid(); }

void os_local_time(OsLocalTime* out) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  out->year = now.wYear;
  out->month = now.wMonth;
  out->day = now.wDay;
  out->hour = now.wHour;
  out->minute = now.wMinute;
  out->second = now.wSecond;
}

void os_zoned_time(OsZonedTime* out) {
  // One reading of the clock, turned into local time with the offset in
  // force at that instant.
  FILETIME utc;
  GetSystemTimeAsFileTime(&utc);
  FILETIME local_file;
  SYSTEMTIME local = {};
  if (!FileTimeToLocalFileTime(&utc, &local_file)) local_file = utc;
  FileTimeToSystemTime(&local_file, &local);
  ULARGE_INTEGER u, l;
  u.LowPart = utc.dwLowDateTime;
  u.HighPart = utc.dwHighDateTime;
  l.LowPart = local_file.dwLowDateTime;
  l.HighPart = local_file.dwHighDateTime;
  constexpr long long kTicksPerSecond = 10000000LL;
  constexpr long long kEpochTicks = 116444736000000000LL;  // 1601 to 1970
  long long difference = static_cast<long long>(l.QuadPart) - static_cast<long long>(u.QuadPart);
  out->local.year = local.wYear;
  out->local.month = local.wMonth;
  out->local.day = local.wDay;
  out->local.hour = local.wHour;
  out->local.minute = local.wMinute;
  out->local.second = local.wSecond;
  out->weekday = local.wDayOfWeek;
  // Rounded to whole minutes: both readings come from the same instant.
  long long minutes = (difference + (difference >= 0 ? 1 : -1) * 30 * kTicksPerSecond) /
                      (60 * kTicksPerSecond);
  out->utc_offset_minutes = static_cast<int>(minutes);
  out->unix_seconds = (static_cast<long long>(u.QuadPart) - kEpochTicks) / kTicksPerSecond;
}

static size_t count_line_feeds(const char* data, size_t len) {
  size_t count = 0;
  for (size_t i = 0; i < len; i++) {
    if (data[i] == '\n') count++;
  }
  return count;
}

// Copies at most `room` bytes of text-mode output for data[*pos..len) into
// `out`, storing each "\n" as CR LF the way a text-mode stream does (a CR
// already in front of it is kept, as the C runtime keeps it). Returns the
// bytes written and advances *pos.
static size_t to_text_mode(const char* data, size_t len, size_t* pos, char* out,
                           size_t room) {
  size_t used = 0;
  while (*pos < len) {
    char c = data[*pos];
    size_t need = c == '\n' ? 2 : 1;
    if (used + need > room) break;
    if (c == '\n') out[used++] = '\r';
    out[used++] = c;
    (*pos)++;
  }
  return used;
}

bool write_all(HANDLE file, const char* data, size_t len) {
  while (len > 0) {
    DWORD chunk = len > 0x40000000u ? 0x40000000u : static_cast<DWORD>(len);
    DWORD written = 0;
    if (!WriteFile(file, data, chunk, &written, nullptr) || written == 0) {
      return false;
    }
    data += written;
    len -= written;
  }
  return true;
}

// The path in the form CreateFileW takes, on the heap (free() it), or null.
// Converting through the ANSI code page names the same file CreateFileA
// would; a path beyond MAX_PATH, which the ANSI calls refuse, is made
// absolute and given the "\\?\" prefix that lifts the limit.
wchar_t* wide_path(const char* path) {
  int n = MultiByteToWideChar(CP_ACP, 0, path, -1, nullptr, 0);
  if (n <= 0) return nullptr;
  wchar_t* wide = static_cast<wchar_t*>(malloc(n * sizeof(wchar_t)));
  if (wide == nullptr) return nullptr;
  MultiByteToWideChar(CP_ACP, 0, path, -1, wide, n);
  if (n <= MAX_PATH) return wide;

  DWORD full_len = GetFullPathNameW(wide, 0, nullptr, nullptr);
  // Room for "\\?\UNC\" in front of the full path.
  wchar_t* full =
      full_len > 0
          ? static_cast<wchar_t*>(malloc((full_len + 8) * sizeof(wchar_t)))
          : nullptr;
  if (full == nullptr) return wide;
  DWORD got = GetFullPathNameW(wide, full_len, full + 8, nullptr);
  if (got == 0 || got >= full_len) {
    free(full);
    return wide;
  }
  free(wide);
  const wchar_t* rest = full + 8;
  const wchar_t* prefix = L"\\\\?\\";
  if (wcsncmp(rest, L"\\\\?\\", 4) == 0) {
    prefix = L"";
  } else if (rest[0] == L'\\' && rest[1] == L'\\') {
    rest += 2;
    prefix = L"\\\\?\\UNC\\";
  }
  size_t prefix_len = wcslen(prefix);
  wchar_t* start = const_cast<wchar_t*>(rest) - prefix_len;
  memcpy(start, prefix, prefix_len * sizeof(wchar_t));
  memmove(full, start, (wcslen(start) + 1) * sizeof(wchar_t));
  return full;
}

// FILE_FLAG_OPEN_REPARSE_POINT opens a symbolic link or junction itself
// rather than what it points to; such a handle is closed again here, so
// that no file is ever written through one. Returns `file`, or
// INVALID_HANDLE_VALUE with ERROR_CANT_ACCESS_FILE.
static HANDLE refuse_reparse_point(HANDLE file) {
  if (file == INVALID_HANDLE_VALUE) return file;
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileInformationByHandle(file, &info) &&
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    return file;
  }
  CloseHandle(file);
  SetLastError(ERROR_CANT_ACCESS_FILE);
  return INVALID_HANDLE_VALUE;
}

static HANDLE open_for_append(const char* path) {
  wchar_t* wide = wide_path(path);
  if (wide == nullptr) return INVALID_HANDLE_VALUE;
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  const DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
  // FILE_APPEND_DATA without FILE_WRITE_DATA makes the system put every
  // write at the end of the file. Read access is asked for only because the
  // lock below needs it; a log the web server may only write to still opens.
  HANDLE file = CreateFileW(wide, FILE_APPEND_DATA | FILE_READ_DATA, share, nullptr,
                            OPEN_ALWAYS, flags, nullptr);
  if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
    file = CreateFileW(wide, FILE_APPEND_DATA, share, nullptr, OPEN_ALWAYS, flags, nullptr);
  }
  free(wide);
  return refuse_reparse_point(file);
}

// Writes data[0..len) with each "\n" stored as CR LF.
static void write_text_mode(HANDLE file, const char* data, size_t len) {
  size_t converted_len = len + count_line_feeds(data, len);
  char small[4096];
  char* converted = converted_len <= sizeof small
                        ? small
                        : static_cast<char*>(malloc(converted_len));
  size_t pos = 0;
  if (converted != nullptr) {
    size_t n = to_text_mode(data, len, &pos, converted, converted_len);
    (void)write_all(file, converted, n);  // a short write is not reported
    if (converted != small) free(converted);
    return;
  }
  // Out of memory: the text still goes out whole, only in several writes.
  while (pos < len) {
    size_t n = to_text_mode(data, len, &pos, small, sizeof small);
    if (!write_all(file, small, n)) break;
  }
}

// Each append opens and closes the file: a handle kept open would stop the
// log from being renamed or removed meanwhile.
void os_append_forget() {}

bool os_append_text(const char* path, const char* data, size_t len) {
  long long size = 0;
  return os_append_text_below(path, data, len, -1, &size) == kOsAppendWritten;
}

int os_append_text_below(const char* path, const char* data, size_t len, long long limit,
                         long long* size_before) {
  *size_before = 0;
  // The socket layer reads its error code from the same per-thread slot
  // that file calls overwrite; a log line between a failed socket call and
  // its report must not change what the report says.
  DWORD saved_error = GetLastError();
  HANDLE file = open_for_append(path);
  if (file == INVALID_HANDLE_VALUE) {
    SetLastError(saved_error);
    return kOsAppendFailed;
  }
  // Not every file system (nor Wine) keeps an append-only handle's writes
  // whole: two processes can both write at the end they saw, and one line
  // then overwrites or splits another. An exclusive lock on one byte far
  // past any real data makes finding the end and writing one step. Where
  // the lock is refused, the system's own append has to do.
  OVERLAPPED lock_range = {};
  lock_range.Offset = 0xFFFFFFFEu;
  lock_range.OffsetHigh = 0x7FFFFFFFu;
  bool locked = LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &lock_range);
  LARGE_INTEGER size = {};
  if (GetFileSizeEx(file, &size)) *size_before = static_cast<long long>(size.QuadPart);
  bool room = limit < 0 || *size_before < limit;
  if (room) {
    LARGE_INTEGER no_move = {};
    SetFilePointerEx(file, no_move, nullptr, FILE_END);
    write_text_mode(file, data, len);
  }
  if (locked) UnlockFileEx(file, 0, 1, 0, &lock_range);
  CloseHandle(file);
  SetLastError(saved_error);
  return room ? kOsAppendWritten : kOsAppendOverLimit;
}

int os_write_text_file(const char* path, const char* data, size_t len, bool replace,
                       bool /*owner_only*/) {
  // A new file takes its folder's rights: there is no umask to work around.
  wchar_t* wide = wide_path(path);
  if (wide == nullptr) {
    errno = ENOMEM;
    return kOsOpenFailed;
  }
  HANDLE file = CreateFileW(wide, GENERIC_WRITE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ,
                            nullptr, replace ? OPEN_ALWAYS : CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  free(wide);
  file = refuse_reparse_point(file);
  if (file == INVALID_HANDLE_VALUE) {
    DWORD code = GetLastError();
    errno = code == ERROR_CANT_ACCESS_FILE ? ELOOP : errno_from_win32(code);
    return kOsOpenFailed;
  }
  // OPEN_ALWAYS keeps the old content: cut it off before writing.
  if (!SetEndOfFile(file)) {
    errno = errno_from_win32(GetLastError());
    CloseHandle(file);
    return kOsWriteFailed;
  }
  size_t converted_len = len + count_line_feeds(data, len);
  char* converted = static_cast<char*>(malloc(converted_len > 0 ? converted_len : 1));
  if (converted == nullptr) {
    CloseHandle(file);
    errno = ENOMEM;
    return kOsWriteFailed;
  }
  size_t pos = 0;
  size_t n = to_text_mode(data, len, &pos, converted, converted_len);
  bool written = write_all(file, converted, n);
  DWORD code = GetLastError();
  free(converted);
  if (!written) {
    CloseHandle(file);
    errno = errno_from_win32(code);
    return kOsWriteFailed;
  }
  if (!CloseHandle(file)) {
    errno = errno_from_win32(GetLastError());
    return kOsCloseFailed;
  }
  return kOsWriteOk;
}

int errno_from_win32(DWORD code) {
  static const struct {
    DWORD win32;
    int error;
  } kMap[] = {
      {ERROR_FILE_NOT_FOUND, ENOENT},    {ERROR_PATH_NOT_FOUND, ENOENT},
      {ERROR_INVALID_NAME, ENOENT},      {ERROR_INVALID_DRIVE, ENOENT},
      {ERROR_BAD_NETPATH, ENOENT},       {ERROR_FILENAME_EXCED_RANGE, ENOENT},
      {ERROR_ALREADY_EXISTS, EEXIST},    {ERROR_FILE_EXISTS, EEXIST},
      {ERROR_ACCESS_DENIED, EACCES},     {ERROR_SHARING_VIOLATION, EACCES},
      {ERROR_LOCK_VIOLATION, EACCES},    {ERROR_WRITE_PROTECT, EACCES},
      {ERROR_CURRENT_DIRECTORY, EACCES}, {ERROR_NOT_SAME_DEVICE, EXDEV},
      {ERROR_DISK_FULL, ENOSPC},         {ERROR_NOT_ENOUGH_MEMORY, ENOMEM},
      {ERROR_DIR_NOT_EMPTY, ENOTEMPTY},  {ERROR_DIRECTORY, ENOTDIR},
      {ERROR_HANDLE_DISK_FULL, ENOSPC},
  };
  for (const auto& entry : kMap) {
    if (entry.win32 == code) return entry.error;
  }
  return EINVAL;
}

int os_rename_noreplace(const char* from, const char* to) {
  // No MOVEFILE_REPLACE_EXISTING: an existing target makes the move fail.
  if (MoveFileExA(from, to, 0)) return 0;
  return errno_from_win32(GetLastError());
}

void os_sleep_ms(int milliseconds) {
  Sleep(milliseconds > 0 ? static_cast<DWORD>(milliseconds) : 0);
}

bool os_is_directory(const char* path) {
  wchar_t* wide = wide_path(path);
  if (wide == nullptr) return false;
  DWORD attributes = GetFileAttributesW(wide);
  free(wide);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool os_path_is_absolute(const char* path) {
  if (path[0] == '\\' || path[0] == '/') return true;
  bool letter = (path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z');
  return letter && path[1] == ':' && (path[2] == '\\' || path[2] == '/');
}

// FILETIME counts 100 ns steps since 1601; Unix time starts 11644473600 s
// later.
long long unix_us_from_filetime(const FILETIME& time) {
  ULARGE_INTEGER ticks;
  ticks.LowPart = time.dwLowDateTime;
  ticks.HighPart = time.dwHighDateTime;
  return static_cast<long long>(ticks.QuadPart / 10) - 11644473600LL * 1000000LL;
}

long long os_unix_time_us() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return unix_us_from_filetime(now);
}

// rand_s rather than BCryptGenRandom: msvcrt.dll is loaded anyway, and
// importing bcrypt.dll would cost every run its load. Four bytes a call.
bool os_random_bytes(void* out, size_t len) {
  unsigned char* at = static_cast<unsigned char*>(out);
  while (len > 0) {
    unsigned int value = 0;
    if (rand_s(&value) != 0) return false;
    size_t chunk = len < sizeof value ? len : sizeof value;
    memcpy(at, &value, chunk);
    at += chunk;
    len -= chunk;
  }
  return true;
}

void os_host_name(char* out, size_t size) {
  if (size == 0) return;
  char name[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD length = sizeof name;
  if (!GetComputerNameA(name, &length)) name[0] = '\0';
  snprintf(out, size, "%s", name);
}

bool os_process_alive(int pid) {
  if (pid <= 0) return true;
  HANDLE process =
      OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
  if (process == nullptr) return GetLastError() != ERROR_INVALID_PARAMETER;
  DWORD code = 0;
  bool running = !GetExitCodeProcess(process, &code) || code == STILL_ACTIVE;
  CloseHandle(process);
  return running;
}

void os_user_name(char* out, size_t size) {
  char name[257];
  DWORD length = sizeof name;
  if (GetUserNameA(name, &length) == 0) name[0] = '\0';
  snprintf(out, size, "%s", name);
}
