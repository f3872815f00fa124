#include "platform/os.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

// There is no text mode on POSIX systems: standard input already passes
// every byte unchanged.
void os_stdin_binary() {}

long long os_monotonic_ms() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int os_read_stdin(char* buf, int len, long long deadline_ms) {
  for (;;) {
    long long left = deadline_ms - os_monotonic_ms();
    if (left <= 0) return kOsReadTimedOut;
    struct pollfd input = {STDIN_FILENO, POLLIN, 0};
    int ready = poll(&input, 1, left > INT_MAX ? INT_MAX : static_cast<int>(left));
    if (ready < 0 && errno != EINTR) return kOsReadFailed;
    if (ready <= 0) continue;  // the clock decides whether time is up
    // A hang-up or error shows in the read itself: 0 or -1.
    ssize_t n = read(STDIN_FILENO, buf, static_cast<size_t>(len));
    if (n >= 0) return static_cast<int>(n);
    if (errno != EINTR && errno != EAGAIN) return kOsReadFailed;
  }
}

void os_close_stdin() {
  // /dev/null in its place keeps descriptor 0 from being reused by a file
  // the program opens later.
  int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (null_fd >= 0) {
    dup2(null_fd, STDIN_FILENO);
    if (null_fd != STDIN_FILENO) close(null_fd);
  } else {
    close(STDIN_FILENO);
  }
}

int os_pid() { return static_cast<int>(getpid()); }

void os_local_time(OsLocalTime* out) {
  time_t now = time(nullptr);
  struct tm parts = {};
  // Should the conversion fail, the fields stay zero rather than garbage.
  localtime_r(&now, &parts);
  out->year = parts.tm_year + 1900;
  out->month = parts.tm_mon + 1;
  out->day = parts.tm_mday;
  out->hour = parts.tm_hour;
  out->minute = parts.tm_min;
  out->second = parts.tm_sec;
}

// Opens `path` for writing with `flags` added, never following a symbolic
// link there. A missing file is created, with exactly 0600 when
// `owner_only` (the umask may have taken more); an existing one is opened
// only when `open_existing`. Returns the descriptor or -1 with errno set.
static int open_for_writing(const char* path, int flags, bool open_existing, bool owner_only) {
  // A file removed between the two opens is simply created on the next try.
  for (int attempt = 0; attempt < 3; ++attempt) {
    int fd = open(path, O_WRONLY | flags | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                  owner_only ? 0600 : 0666);
    if (fd >= 0) {
      if (owner_only) fchmod(fd, 0600);
      return fd;
    }
    // With O_EXCL a link, dangling or not, counts as existing.
    if (errno != EEXIST || !open_existing) return -1;
    fd = open(path, O_WRONLY | flags | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0 || errno != ENOENT) return fd;
  }
  return -1;
}

// Writes all of data[0..len); false with errno set on a failed write.
static bool write_fully(int fd, const char* data, size_t len) {
  size_t done = 0;
  while (done < len) {
    ssize_t n = write(fd, data + done, len - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = EIO;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

bool os_append_text(const char* path, const char* data, size_t len) {
  int fd = open_for_writing(path, O_APPEND, true, true);
  if (fd < 0) return false;
  // O_APPEND makes each write land at the end as a whole; a regular file
  // takes the full length in one call, the loop only covers interruptions.
  (void)write_fully(fd, data, len);
  close(fd);
  return true;
}

int os_write_text_file(const char* path, const char* data, size_t len, bool replace,
                       bool owner_only) {
  int fd = open_for_writing(path, O_TRUNC, replace, owner_only);
  if (fd < 0) return kOsOpenFailed;
  if (!write_fully(fd, data, len)) {
    int err = errno;
    close(fd);
    errno = err;
    return kOsWriteFailed;
  }
  return close(fd) == 0 ? kOsWriteOk : kOsCloseFailed;
}

int os_rename_noreplace(const char* from, const char* to) {
#ifdef SYS_renameat2
  // renameat2 with RENAME_NOREPLACE (1) refuses an existing target atomically.
  if (syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, 1) == 0) return 0;
  if (errno != ENOSYS && errno != EINVAL) return errno;
#endif
  // File systems without it: a hard link fails with EEXIST when the target
  // exists, and unlinking the old name afterwards completes the rename.
  if (link(from, to) != 0) return errno;
  if (unlink(from) != 0) {
    int saved = errno;
    unlink(to);
    return saved;
  }
  return 0;
}

void os_sleep_ms(int milliseconds) {
  struct timespec pause;
  pause.tv_sec = milliseconds / 1000;
  pause.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

bool os_is_directory(const char* path) {
  struct stat info;
  return stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}
