#pragma once
// Operating-system services other than sockets. Each function is defined once
// in os_posix.cpp and once in os_win32.cpp; the build compiles one of them.

#include <cstddef>

// Switches standard input to binary mode so that CR, LF and ^Z bytes of a
// posted body arrive unchanged. A no-op where there is no text mode.
void os_stdin_binary();

// Milliseconds on a clock that only moves forward (not the wall clock).
long long os_monotonic_ms();

// What os_read_stdin returns besides a count of bytes.
constexpr int kOsReadEnd = 0;        // the input has ended
constexpr int kOsReadFailed = -1;    // a read error
constexpr int kOsReadTimedOut = -2;  // nothing arrived before the deadline

// Reads at most `len` bytes of standard input as soon as any are there,
// waiting no later than `deadline_ms` (an os_monotonic_ms() time). Returns
// the count, kOsReadEnd, kOsReadFailed or kOsReadTimedOut. Bypasses the C
// library's buffer, so it must not be mixed with stdio reads of stdin.
int os_read_stdin(char* buf, int len, long long deadline_ms);

// Closes standard input (it reads as empty from then on), so that whoever
// still writes into it is not held waiting for a reader.
void os_close_stdin();

// The id of this process.
int os_pid();

// Local wall-clock time, broken down. month is 1..12, hour 0..23.
struct OsLocalTime {
  int year;
  int month;
  int day;
  int hour;
  int minute;
  int second;
};
void os_local_time(OsLocalTime* out);

// Appends `len` bytes to the file at `path` (created if missing) with a single
// write on a file opened for appending, then closes it, so that lines appended
// by several processes at once never split or interleave. Each "\n" is stored
// as the platform's text line end (CR LF on Windows). A symbolic link (on
// Windows any reparse point) at `path` is never followed: the file is not
// opened. A file created here is readable and writable by its owner only
// (0600 whatever the umask; on Windows it takes its folder's rights).
// Returns false when the file cannot be opened; a short or failed write is
// not reported.
bool os_append_text(const char* path, const char* data, size_t len);

// The steps of os_write_text_file; it returns the one that failed, with
// errno set, or kOsWriteOk.
constexpr int kOsWriteOk = 0;
constexpr int kOsOpenFailed = 1;
constexpr int kOsWriteFailed = 2;
constexpr int kOsCloseFailed = 3;

// Writes `len` bytes, each "\n" as the platform's text line end, as the
// whole content of the file at `path`. With `replace` an existing file's
// content is replaced (its rights kept); without, an existing file is left
// alone (EEXIST). Never through a symbolic link (on Windows any reparse
// point) at `path`: ELOOP, or EEXIST without `replace`, dangling or not. A
// file created here gets 0600 whatever the umask when `owner_only`, else
// 0666 less the umask (on Windows its folder's rights either way).
int os_write_text_file(const char* path, const char* data, size_t len, bool replace,
                       bool owner_only);

// Renames `from` to `to`, never replacing an existing `to`. Returns 0, or the
// C library error number (EEXIST when `to` exists) on failure.
int os_rename_noreplace(const char* from, const char* to);

// Whether `path` names an existing folder.
bool os_is_directory(const char* path);

// Sleeps for the given number of milliseconds.
void os_sleep_ms(int milliseconds);
