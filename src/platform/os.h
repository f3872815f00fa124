#pragma once
// Operating-system services other than sockets. Each function is defined once
// in os_posix.cpp and once in os_win32.cpp; the build compiles one of them.

#include <cstddef>

// Switches standard input to binary mode so that CR, LF and ^Z bytes of a
// posted body arrive unchanged. A no-op where there is no text mode.
void os_stdin_binary();

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

// One instant as a Date header needs it: local time, weekday (0 is Sunday),
// offset of local time from UTC in minutes (east positive), and the seconds
// since 1970-01-01 00:00 UTC.
struct OsZonedTime {
  OsLocalTime local;
  int weekday;
  int utc_offset_minutes;
  long long unix_seconds;
};
void os_zoned_time(OsZonedTime* out);

// Fills `out` with `len` bytes from the system's random source. Returns
// false when the source failed.
bool os_random_bytes(unsigned char* out, size_t len);

// Appends `len` bytes to the file at `path` (created if missing) with a single
// write on a file opened for appending, then closes it, so that lines appended
// by several processes at once never split or interleave. Each "\n" is stored
// as the platform's text line end (CR LF on Windows). Returns false when the
// file cannot be opened; a short or failed write is not reported.
bool os_append_text(const char* path, const char* data, size_t len);

// Renames `from` to `to`, never replacing an existing `to`. Returns 0, or the
// C library error number (EEXIST when `to` exists) on failure.
int os_rename_noreplace(const char* from, const char* to);

// Whether `path` names an existing folder.
bool os_is_directory(const char* path);

// Sleeps for the given number of milliseconds.
void os_sleep_ms(int milliseconds);
