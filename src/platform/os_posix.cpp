#include "platform/os.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <limits.h>
#include <poll.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/time.h>
#include <sys/random.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/time.h>
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

static volatile sig_atomic_t g_termination_asked = 0;

static void on_termination(int) { g_termination_asked = 1; }

void os_catch_termination() {
  struct sigaction action = {};
  action.sa_handler = on_termination;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

bool os_termination_asked() { return g_termination_asked != 0; }

// os_read_stdin with SIGTERM blocked: `waiting` is the mask to wait with.
static int read_stdin_blocked(char* buf, int len, long long deadline_ms,
                              const sigset_t* waiting) {
  for (;;) {
    if (g_termination_asked) return kOsReadStopped;
    long long left = deadline_ms - os_monotonic_ms();
    if (left <= 0) return kOsReadTimedOut;
    struct pollfd input = {STDIN_FILENO, POLLIN, 0};
    struct timespec wait = {static_cast<time_t>(left / 1000), (left % 1000) * 1000000L};
    int ready = ppoll(&input, 1, &wait, waiting);
    if (ready < 0 && errno != EINTR) return kOsReadFailed;
    if (ready <= 0) continue;  // the clock or the flag decides
    // A hang-up or error shows in the read itself: 0 or -1.
    ssize_t n = read(STDIN_FILENO, buf, static_cast<size_t>(len));
    if (n >= 0) return static_cast<int>(n);
    if (errno != EINTR && errno != EAGAIN) return kOsReadFailed;
  }
}

int os_read_stdin(char* buf, int len, long long deadline_ms) {
  // SIGTERM is let in only while ppoll waits: one that comes between the
  // flag's check and the wait still ends the wait.
  sigset_t term, outside;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  sigprocmask(SIG_BLOCK, &term, &outside);
  int result = read_stdin_blocked(buf, len, deadline_ms, &outside);
  sigprocmask(SIG_SETMASK, &outside, nullptr);
  return result;
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
  // Every log line asks, most within one second: the conversion of the
  // last second asked for is kept (a zone's offset changes only between
  // seconds).
  static time_t converted_second = -1;
  static OsLocalTime converted;
  time_t now = time(nullptr);
  if (now != converted_second) {
    struct tm parts = {};
    // Should the conversion fail, the fields stay zero rather than garbage.
    localtime_r(&now, &parts);
    converted.year = parts.tm_year + 1900;
    converted.month = parts.tm_mon + 1;
    converted.day = parts.tm_mday;
    converted.hour = parts.tm_hour;
    converted.minute = parts.tm_min;
    converted.second = parts.tm_sec;
    converted_second = now;
  }
  *out = converted;
}

void os_zoned_time(OsZonedTime* out) {
  time_t now = time(nullptr);
  struct tm parts = {};
  localtime_r(&now, &parts);
  out->local.year = parts.tm_year + 1900;
  out->local.month = parts.tm_mon + 1;
  out->local.day = parts.tm_mday;
  out->local.hour = parts.tm_hour;
  out->local.minute = parts.tm_min;
  out->local.second = parts.tm_sec;
  out->weekday = parts.tm_wday;
  out->utc_offset_minutes = static_cast<int>(parts.tm_gmtoff / 60);
  out->unix_seconds = static_cast<long long>(now);
}

bool os_random_bytes(void* out, size_t len) {
  unsigned char* at = static_cast<unsigned char*>(out);
  size_t done = 0;
  while (done < len) {
    ssize_t n = getrandom(at + done, len - done, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Opens `path` for writing with `flags` added, never following a symbolic
// link there. A missing file is created, with exactly 0600 when
// `owner_only` (the umask may have taken more); an existing one is opened
// only when `open_existing`. Returns the descriptor or -1 with errno set.
static int open_for_writing(const char* path, int flags, bool open_existing, bool owner_only) {
  // The usual case, an existing log, costs one open. A file removed or
  // created between the two opens is simply tried again.
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (open_existing) {
      int fd = open(path, O_WRONLY | flags | O_NOFOLLOW | O_CLOEXEC);
      if (fd >= 0 || errno != ENOENT) return fd;  // a link gives ELOOP
    }
    int fd = open(path, O_WRONLY | flags | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                  owner_only ? 0600 : 0666);
    if (fd >= 0) {
      if (owner_only) fchmod(fd, 0600);
      return fd;
    }
    // With O_EXCL a link, dangling or not, counts as existing.
    if (errno != EEXIST || !open_existing) return -1;
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
  long long size = 0;
  return os_append_text_below(path, data, len, -1, &size) == kOsAppendWritten;
}

// The file lines were last appended to, kept open for the next line: a run
// writes a dozen lines, and an open and a close for each cost more than the
// line's write. Before each line the name is looked at again (lstat): when it
// no longer names the file held (rotated by a rename, removed, replaced, a
// link put in its place), the line goes to a file opened under the name
// anew, as it would have without the kept descriptor. Each line is still
// written when it happens, so a run that is killed loses none.
static struct {
  int fd;  // -1: none held
  dev_t device;
  ino_t inode;
} g_append = {-1, 0, 0};

void os_append_forget() {
  if (g_append.fd >= 0) close(g_append.fd);
  g_append.fd = -1;
}

// The descriptor for `path` with its size now; -1 when it cannot be opened.
static int append_descriptor(const char* path, long long* size) {
  struct stat st;
  if (g_append.fd >= 0 && lstat(path, &st) == 0 && S_ISREG(st.st_mode) &&
      st.st_dev == g_append.device && st.st_ino == g_append.inode) {
    *size = static_cast<long long>(st.st_size);
    return g_append.fd;
  }
  os_append_forget();
  int fd = open_for_writing(path, O_APPEND, true, true);
  if (fd < 0) return -1;
  if (fstat(fd, &st) != 0) {
    close(fd);
    return -1;
  }
  *size = static_cast<long long>(st.st_size);
  g_append.fd = fd;
  g_append.device = st.st_dev;
  g_append.inode = st.st_ino;
  return fd;
}

int os_append_text_below(const char* path, const char* data, size_t len, long long limit,
                         long long* size_before) {
  *size_before = 0;
  int fd = append_descriptor(path, size_before);
  if (fd < 0) return kOsAppendFailed;
  if (limit >= 0 && *size_before >= limit) return kOsAppendOverLimit;
  // O_APPEND makes each write land at the end as a whole; a regular file
  // takes the full length in one call, the loop only covers interruptions.
  (void)write_fully(fd, data, len);
  return kOsAppendWritten;
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

int os_make_directory(const char* path) {
  return mkdir(path, 0700) == 0 ? 0 : errno;
}

int os_remove_directory(const char* path) {
  return rmdir(path) == 0 ? 0 : errno;
}

int os_write_new_file(const char* path, const char* data, size_t len,
                      bool flush_to_disk) {
  int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  size_t done = 0;
  while (done < len) {
    ssize_t n = write(fd, data + done, len - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int err = n < 0 ? errno : ENOSPC;
      close(fd);
      return err;
    }
    done += static_cast<size_t>(n);
  }
  if (flush_to_disk && fsync(fd) != 0) {
    int err = errno;
    close(fd);
    return err;
  }
  // Some file systems report a failed write only when the file is closed.
  return close(fd) == 0 ? 0 : errno;
}

int os_flush_directory(const char* path) {
  int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  int err = fsync(fd) == 0 ? 0 : errno;
  close(fd);
  // File systems that cannot flush a folder say so; nothing more can be done.
  return err == EINVAL || err == EROFS ? 0 : err;
}

int os_remove_file(const char* path) {
  return unlink(path) == 0 ? 0 : errno;
}

int os_list_directory(const char* path, void (*each)(const char* name, void* context),
                      void* context) {
  DIR* dir = opendir(path);
  if (dir == nullptr) return errno;
  for (;;) {
    errno = 0;
    struct dirent* entry = readdir(dir);
    if (entry == nullptr) break;
    const char* name = entry->d_name;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
    each(name, context);
  }
  int err = errno;
  closedir(dir);
  return err;
}

long os_read_at(const char* path, long long offset, char* out, size_t size) {
  int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return -1;
  ssize_t n = pread(fd, out, size, static_cast<off_t>(offset));
  close(fd);
  return static_cast<long>(n);
}

int os_file_size(const char* path, long long* bytes) {
  struct stat info;
  if (lstat(path, &info) != 0) return errno;
  if (!S_ISREG(info.st_mode)) return EINVAL;
  *bytes = static_cast<long long>(info.st_size);
  return 0;
}

int os_disk_space(const char* path, long long* free_bytes, long long* total_bytes) {
  struct statvfs info;
  if (statvfs(path, &info) != 0) return errno;
  *free_bytes = static_cast<long long>(info.f_bavail) * static_cast<long long>(info.f_frsize);
  *total_bytes = static_cast<long long>(info.f_blocks) * static_cast<long long>(info.f_frsize);
  return 0;
}

bool os_is_link(const char* path) {
  struct stat info;
  return lstat(path, &info) == 0 && S_ISLNK(info.st_mode);
}

bool os_owned_by_me(const char* path) {
  struct stat info;
  return lstat(path, &info) == 0 && info.st_uid == geteuid();
}

bool os_readable_by_others(const char* path) {
  struct stat info;
  return stat(path, &info) == 0 && (info.st_mode & S_IROTH) != 0;
}

int os_read_regular_file(const char* path, size_t max, char** data, size_t* length) {
  *data = nullptr;
  *length = 0;
  int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return errno;
  struct stat info;
  int err = fstat(fd, &info) != 0 ? errno : !S_ISREG(info.st_mode) ? EINVAL : 0;
  if (err == 0 && static_cast<unsigned long long>(info.st_size) > max) err = EFBIG;
  size_t size = err == 0 ? static_cast<size_t>(info.st_size) : 0;
  char* block = err == 0 ? static_cast<char*>(malloc(size + 1)) : nullptr;
  if (err == 0 && block == nullptr) err = ENOMEM;
  size_t used = 0;
  while (err == 0 && used < size) {
    ssize_t n = read(fd, block + used, size - used);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) err = errno;
    if (n <= 0) break;  // a file cut while it was read gives what it still held
    used += static_cast<size_t>(n);
  }
  close(fd);
  if (err != 0) {
    free(block);
    return err;
  }
  block[used] = '\0';
  *data = block;
  *length = used;
  return 0;
}

int os_file_mtime(const char* path, long long* seconds) {
  struct stat info;
  if (stat(path, &info) != 0) return errno;
  *seconds = static_cast<long long>(info.st_mtime);
  return 0;
}

int os_touch_file(const char* path) {
  return utimensat(AT_FDCWD, path, nullptr, 0) == 0 ? 0 : errno;
}

bool os_path_is_absolute(const char* path) { return path[0] == '/'; }

long long os_unix_time_us() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<long long>(now.tv_sec) * 1000000LL + now.tv_nsec / 1000;
}


void os_host_name(char* out, size_t size) {
  if (size == 0) return;
  char name[256];
  if (gethostname(name, sizeof name) != 0) name[0] = '\0';
  name[sizeof name - 1] = '\0';
  snprintf(out, size, "%s", name);
}

bool os_process_alive(int pid) {
  if (pid <= 0) return true;
  return kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH;
}

void os_user_name(char* out, size_t size) {
  uid_t uid = geteuid();
  struct passwd entry;
  struct passwd* found = nullptr;
  char area[1024];
  if (getpwuid_r(uid, &entry, area, sizeof area, &found) == 0 && found != nullptr) {
    snprintf(out, size, "%s", found->pw_name);
  } else {
    snprintf(out, size, "%u", static_cast<unsigned>(uid));
  }
}
