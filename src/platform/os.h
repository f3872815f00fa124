#pragma once
// Operating-system services other than sockets. Each function is defined once
// in os_posix.cpp and once in os_win32.cpp; the build compiles one of them.

#include <cstddef>
#include <cstdint>

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

// A file held open for reading and writing under an exclusive lock, for a
// read-modify-write that concurrent processes take turns at. Only other
// holders of the same lock wait; plain readers are not held up.
struct OsLockedFile {
  intptr_t handle;  // the descriptor or handle; -1 when not open
};

// Opens the regular file at `path` for reading and writing, creating it
// (readable and writable by its owner only) when it is missing, and takes the
// exclusive lock, waiting at most `wait_ms` for another holder to let go.
// A symbolic link is not followed. Returns 0, or a C library error number:
// the open's (EACCES, ENOENT, ...), EINVAL for a path that names no regular
// file, EWOULDBLOCK when another holder kept the lock all that time.
int os_locked_open(const char* path, int wait_ms, OsLockedFile* file);

// Reads the file from its start into `data`, at most `size` bytes. Returns
// the number of bytes read, or minus the error number of a failed read.
long os_locked_read(OsLockedFile* file, char* data, size_t size);

// Makes `data` (`len` bytes) the whole content of the file: written from the
// start, the file cut after it. Returns 0, or the error number of the write.
int os_locked_rewrite(OsLockedFile* file, const char* data, size_t len);

// Releases the lock and closes the file; a file not open is left alone.
void os_locked_close(OsLockedFile* file);

// Fills `out` with `len` bytes from the system's random generator. Returns
// false when it could not deliver them (nothing is waited for).
bool os_random_bytes(void* out, size_t len);
