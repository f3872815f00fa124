#pragma once
// Operating-system services other than sockets. Each function is defined once
// in os_posix.cpp and once in os_win32.cpp; the build compiles one of them.
//
// Errors in src/platform: bool for yes/no; a function that can say why
// returns 0 or an errno value (file and folder calls) or -1 with a Windows
// Sockets number in net_last_error() (sockets, TLS). Nothing here logs or
// ends the process: the caller decides.

#include <cstddef>
#include <cstdint>

// Switches standard input to binary mode so that CR, LF and ^Z bytes of a
// posted body arrive unchanged. A no-op where there is no text mode.
void os_stdin_binary();

// Milliseconds on a clock that only moves forward (not the wall clock).
long long os_monotonic_ms();

// What os_read_stdin returns besides a count of bytes.
constexpr int kOsReadEnd = 0;        // the input has ended
constexpr int kOsReadFailed = -1;    // a read error
constexpr int kOsReadTimedOut = -2;  // nothing arrived before the deadline
constexpr int kOsReadStopped = -3;   // the process was asked to end (os_catch_termination)

// Reads at most `len` bytes of standard input as soon as any are there,
// waiting no later than `deadline_ms` (an os_monotonic_ms() time). Returns
// the count, kOsReadEnd, kOsReadFailed, kOsReadTimedOut or kOsReadStopped.
// Bypasses the C library's buffer, so it must not be mixed with stdio reads
// of stdin.
int os_read_stdin(char* buf, int len, long long deadline_ms);

// From now on a request to end the process (SIGTERM, as a web server sends
// to a CGI program it gives up on) no longer ends it at once: a read of
// standard input waiting or yet to come returns kOsReadStopped, and the rest
// of the run goes on, so that it can still log how it ended. A write to a
// pipe whose reader has gone fails instead of ending the process (SIGPIPE
// ignored). A no-op on Windows, where a CGI program is ended without notice.
void os_catch_termination();

// Whether the process was asked to end since os_catch_termination().
bool os_termination_asked();

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
bool os_random_bytes(void* out, size_t len);

// Appends `len` bytes to the file at `path` (created if missing) with a single
// write on a file opened for appending, so that lines appended by several
// processes at once never split or interleave. Each "\n" is stored as the
// platform's text line end (CR LF on Windows). The file may be kept open for
// the next call (POSIX); each call looks at the name first, so a file renamed
// or removed meanwhile takes no more lines and the name gets a new one. A
// symbolic link (on Windows any reparse point) at `path` is never followed:
// the file is not opened. A file created here is readable and writable by
// its owner only (0600 whatever the umask; on Windows it takes its folder's
// rights). Returns false when the file cannot be opened; a short or failed
// write is not reported.
bool os_append_text(const char* path, const char* data, size_t len);

// What os_append_text_below returns.
constexpr int kOsAppendFailed = -1;    // the file cannot be opened
constexpr int kOsAppendOverLimit = 0;  // it holds `limit` bytes or more: not written
constexpr int kOsAppendWritten = 1;

// os_append_text, but only while the file holds fewer than `limit` bytes
// (a negative limit: always); the size found on the open descriptor before
// the write is in *size_before (0 when the file cannot be opened).
int os_append_text_below(const char* path, const char* data, size_t len, long long limit,
                         long long* size_before);

// Closes the file kept open by the appends, if any: the next append opens
// it again. Called when the process takes other ids, so that a file opened
// under one user is never written under another.
void os_append_forget();

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

// Reads at most `size` bytes from byte `offset` on; returns the count (less
// at the file's end), or minus the error number of a failed read.
long os_locked_read_at(OsLockedFile* file, long long offset, char* data, size_t size);

// Writes `len` bytes at byte `offset` (the file grows when they pass its
// end; it is never cut). Returns 0, or the error number of the write.
int os_locked_write_at(OsLockedFile* file, long long offset, const char* data, size_t len);

// Releases the lock and closes the file; a file not open is left alone.
void os_locked_close(OsLockedFile* file);

// ---- Files and folders of the spool ----
// Each returns 0 or the C library error number of the failure (on Windows
// the system error mapped onto the nearest one).

// Creates one folder (not its parents), private to the program's user where
// the system has such rights. EEXIST when something of that name exists.
int os_make_directory(const char* path);

// Removes an empty folder (ENOTEMPTY, or EEXIST on some systems, when not).
int os_remove_directory(const char* path);

// Creates the file `path`, which must not exist yet (EEXIST), private to the
// program's user, writes the `len` bytes unchanged (no text-mode line ends),
// and, with `flush_to_disk`, has the system write them to the disk before
// closing (fsync / FlushFileBuffers). A failure on the way leaves the file
// behind for the caller to remove.
int os_write_new_file(const char* path, const char* data, size_t len,
                      bool flush_to_disk);

// Has the system write a folder's entries to the disk, so that a file
// renamed into it is still there after a power cut. Where folders cannot be
// flushed (Windows, whose file systems journal their entries), returns 0.
int os_flush_directory(const char* path);

// Deletes a file.
int os_remove_file(const char* path);

// Calls `each` with the name of every entry of the folder but "." and "..",
// in no particular order. `each` may rename or delete entries of the folder.
int os_list_directory(const char* path, void (*each)(const char* name, void* context),
                      void* context);

// Reads at most `size` bytes of the file at `path` from `offset` into
// `out`, not through a link. Returns the count read, or -1.
long os_read_at(const char* path, long long offset, char* out, size_t size);

// The size in bytes of the regular file at `path` (a link is not followed).
// Returns 0, EINVAL for anything but a regular file, or the error.
int os_file_size(const char* path, long long* bytes);

// The free and the total bytes of the file system holding `path`, as an
// unprivileged user may use them. Returns 0 or the error.
int os_disk_space(const char* path, long long* free_bytes, long long* total_bytes);

// Whether `path` itself is a symbolic link (on Windows any reparse point).
bool os_is_link(const char* path);

// Whether the folder at `path` belongs to the user this process runs as
// (its effective user; root owns only what is root's). Where rights rather
// than owners decide (Windows), true. False when it cannot be looked at.
bool os_owned_by_me(const char* path);

// Whether users other than the file's owner and group may read `path`.
// Where access lists rather than modes decide (Windows), false.
bool os_readable_by_others(const char* path);

// Reads the whole regular file at `path` into a new malloc'd block (*data,
// *length bytes, a NUL after them). The file is opened without following a
// symbolic link and without waiting (a FIFO or device is never read): EINVAL
// for anything but a regular file, ELOOP for a link, EFBIG past `max` bytes,
// ENOMEM, or the open's or read's error; 0 when read.
int os_read_regular_file(const char* path, size_t max, char** data, size_t* length);

// The last-modified time of a file, in seconds since 1970 (UTC).
int os_file_mtime(const char* path, long long* seconds);

// Sets the last-modified time of a file to now.
int os_touch_file(const char* path);

// Whether a path is absolute ("/x"; on Windows also "\x", "C:\x", "\\server\x").
bool os_path_is_absolute(const char* path);

// ---- Time, identity and chance ----

// The wall-clock time in microseconds since 1970 (UTC).
long long os_unix_time_us();


// This machine's name, cut to `size` - 1 bytes; "" when it has none.
void os_host_name(char* out, size_t size);

// Whether a process with this id runs on this machine. A process the
// program may not inspect counts as running.
bool os_process_alive(int pid);

// The name of the user the process runs as (its effective user), cut to
// `size` - 1 bytes; its number when it has no name.
void os_user_name(char* out, size_t size);
