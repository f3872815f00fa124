#pragma once
// Files read and written in pieces: the run's private scratch file, which
// holds the uploaded files while the message is made (gone by itself when
// the process ends, however it ends), and a new file written block by block
// then flushed (the spool's copy of a message too large to build in
// memory). Defined in file_stream_posix.cpp and file_stream_win32.cpp.
//
// Errors: as in the rest of src/platform (os.h): 0 or an errno value, a
// count or -1; nothing here logs.

#include <cstddef>
#include <cstdint>

// An open file of this process; `handle` is its descriptor (POSIX) or
// HANDLE (Windows), kNoStreamFile when none.
constexpr intptr_t kNoStreamFile = -1;
struct OsStreamFile {
  intptr_t handle = kNoStreamFile;
};

// Opens a new scratch file in the system's folder for temporary files
// (TMPDIR or /tmp; on Windows the user's temp folder) that has no name from
// the start (O_TMPFILE) or loses it at once (opened, then unlinked), so no
// ending of the run leaves it behind. On Windows it is opened
// delete-on-close: the system removes it when the handle closes, which a
// killed process's handles do too; files of that name older than a day
// (left by a machine that stopped) are removed first. Returns 0 or the
// error.
int os_scratch_open(OsStreamFile* file);

// Creates the file `path`, which must not exist yet (EEXIST), private to
// the program's user, for writing in pieces. Returns 0 or the error.
int os_stream_create(const char* path, OsStreamFile* file);

// Writes all `size` bytes at the file's end. Returns 0 or the error.
int os_stream_write(OsStreamFile* file, const void* data, size_t size);

// Opens the regular file `path` for reading, not through a link. Returns 0
// or the error (ELOOP for a link, EINVAL for anything but a regular file).
int os_stream_open_read(const char* path, OsStreamFile* file);

// Reads at most `size` bytes from byte `offset`. Returns the count (0 at
// the end) or -1.
long os_stream_read_at(const OsStreamFile* file, long long offset, void* out, size_t size);

// Has the system write the file to the disk (fsync / FlushFileBuffers).
// Returns 0 or the error.
int os_stream_flush(OsStreamFile* file);

// Closes the file; a file not open is left alone. Returns 0, or the error
// some file systems report only when a written file is closed.
int os_stream_close(OsStreamFile* file);
