#include "platform/dynlib.h"

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform/os.h"

extern char** environ;

bool os_libraries_loadable() { return true; }

int os_wait_descriptor(long long fd, bool for_write, long long deadline_ms) {
  for (;;) {
    long long left = deadline_ms - os_monotonic_ms();
    if (left <= 0) return 0;
    struct pollfd pfd = {static_cast<int>(fd), static_cast<short>(for_write ? POLLOUT : POLLIN),
                         0};
    int ready = poll(&pfd, 1, left > 60000 ? 60000 : static_cast<int>(left));
    if (ready > 0) return 1;
    if (ready < 0 && errno != EINTR) return -1;
  }
}

void os_clear_environment(const char* prefix) {
  size_t length = strlen(prefix);
  // unsetenv moves the later entries down: look again from the start.
  for (bool removed = true; removed;) {
    removed = false;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
      if (strncmp(*entry, prefix, length) != 0) continue;
      const char* equals = strchr(*entry, '=');
      if (equals == nullptr) continue;
      char name[256];
      size_t name_length = static_cast<size_t>(equals - *entry);
      if (name_length >= sizeof name) continue;
      memcpy(name, *entry, name_length);
      name[name_length] = '\0';
      unsetenv(name);
      removed = true;
      break;
    }
  }
}
