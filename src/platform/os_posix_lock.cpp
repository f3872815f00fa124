// The POSIX half of the locked state file: opening it with an exclusive
// lock (flock, waited for within a time limit), reading and writing it
// while locked, and closing it, which releases the lock.
#include "platform/os.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

static long long monotonic_ms() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

static void on_lock_timer(int) {}

// Takes the exclusive lock on `fd` within `wait_ms`. Waiting runs are
// queued by the kernel and woken one by one as the lock is handed on,
// instead of each trying again on its own clock, which costs a busy file
// many wake-ups for nothing. A timer interrupts the wait; it fires again
// every 10 ms after the first time, should that first signal come just
// before the wait began.
static int wait_for_lock(int fd, int wait_ms) {
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
  if (errno != EWOULDBLOCK) return errno;
  long long deadline = monotonic_ms() + wait_ms;
  struct sigaction quiet = {};
  quiet.sa_handler = on_lock_timer;  // no SA_RESTART: the wait ends with EINTR
  sigemptyset(&quiet.sa_mask);
  struct sigaction saved_action;
  sigaction(SIGALRM, &quiet, &saved_action);
  struct itimerval timer = {};
  timer.it_value.tv_sec = wait_ms / 1000;
  timer.it_value.tv_usec = (wait_ms % 1000) * 1000L + 1;
  timer.it_interval.tv_usec = 10000;
  struct itimerval off = {};
  setitimer(ITIMER_REAL, &timer, nullptr);
  int error = 0;
  while (flock(fd, LOCK_EX) != 0) {
    error = errno;
    if (error != EINTR) break;
    if (monotonic_ms() >= deadline) {
      error = EWOULDBLOCK;
      break;
    }
    error = 0;
  }
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &saved_action, nullptr);
  return error;
}

int os_locked_open(const char* path, int wait_ms, OsLockedFile* file) {
  file->handle = -1;
  // O_NONBLOCK: a FIFO planted under the name must not hold the open.
  int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
  if (fd < 0) return errno;
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return EINVAL;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  int error = wait_for_lock(fd, wait_ms);
  if (error != 0) {
    close(fd);
    return error;
  }
  file->handle = fd;
  return 0;
}

long os_locked_read_at(OsLockedFile* file, long long offset, char* data, size_t size) {
  int fd = static_cast<int>(file->handle);
  size_t done = 0;
  while (done < size) {
    ssize_t n = pread(fd, data + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -static_cast<long>(errno);
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<long>(done);
}

int os_locked_write_at(OsLockedFile* file, long long offset, const char* data, size_t len) {
  int fd = static_cast<int>(file->handle);
  size_t done = 0;
  while (done < len) {
    ssize_t n = pwrite(fd, data + done, len - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return ENOSPC;
    done += static_cast<size_t>(n);
  }
  return 0;
}

long os_locked_read(OsLockedFile* file, char* data, size_t size) {
  return os_locked_read_at(file, 0, data, size);
}

int os_locked_rewrite(OsLockedFile* file, const char* data, size_t len) {
  int error = os_locked_write_at(file, 0, data, len);
  if (error != 0) return error;
  if (ftruncate(static_cast<int>(file->handle), static_cast<off_t>(len)) != 0) return errno;
  return 0;
}

void os_locked_close(OsLockedFile* file) {
  if (file->handle < 0) return;
  // Closing the descriptor releases the lock.
  close(static_cast<int>(file->handle));
  file->handle = -1;
}
