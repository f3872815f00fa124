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

bool os_append_text(const char* path, const char* data, size_t len) {
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  // O_APPEND makes each write land at the end as a whole; a regular file
  // takes the full length in one call, the loop only covers interruptions.
  size_t done = 0;
  while (done < len) {
    ssize_t n = write(fd, data + done, len - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
  return true;
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
