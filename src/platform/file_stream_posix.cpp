#include "platform/file_stream.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* temp_folder() {
  const char* folder = getenv("TMPDIR");
  return folder != nullptr && folder[0] == '/' ? folder : "/tmp";
}

// mkstemp, then unlink: for systems and file systems without O_TMPFILE.
int named_then_unlinked(const char* folder) {
  char path[4096];
  int n = snprintf(path, sizeof path, "%s/quillon-upload-XXXXXX", folder);
  if (n < 0 || static_cast<size_t>(n) >= sizeof path) return -1;
  int fd = mkostemp(path, O_CLOEXEC);
  if (fd < 0) return -1;
  if (unlink(path) != 0) {
    int err = errno;
    close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

}  // namespace

int os_scratch_open(OsStreamFile* file) {
  const char* folder = temp_folder();
  int fd = -1;
#ifdef O_TMPFILE
  fd = open(folder, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
#endif
  if (fd < 0) fd = named_then_unlinked(folder);
  if (fd < 0) return errno;
  file->handle = fd;
  return 0;
}

int os_stream_create(const char* path, OsStreamFile* file) {
  int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  file->handle = fd;
  return 0;
}

int os_stream_write(OsStreamFile* file, const void* data, size_t size) {
  const char* bytes = static_cast<const char*>(data);
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(static_cast<int>(file->handle), bytes + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : ENOSPC;
    done += static_cast<size_t>(n);
  }
  return 0;
}

int os_stream_open_read(const char* path, OsStreamFile* file) {
  int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return errno;
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return EINVAL;
  }
  file->handle = fd;
  return 0;
}

long os_stream_read_at(const OsStreamFile* file, long long offset, void* out, size_t size) {
  for (;;) {
    ssize_t n = pread(static_cast<int>(file->handle), out, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    return static_cast<long>(n);
  }
}

int os_stream_flush(OsStreamFile* file) {
  return fsync(static_cast<int>(file->handle)) == 0 ? 0 : errno;
}

int os_stream_close(OsStreamFile* file) {
  if (file->handle == kNoStreamFile) return 0;
  int err = close(static_cast<int>(file->handle)) == 0 ? 0 : errno;
  file->handle = kNoStreamFile;
  return err;
}
