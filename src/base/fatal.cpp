#include "base/fatal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log_line.h"
#include "platform/os.h"

void fatal_reply(const char* message) {
  // The bare message line (no timestamp) is one write, like every log line.
  const char* path = g_log.path != nullptr ? g_log.path : "";
  size_t length = strlen(message);
  char* line = static_cast<char*>(malloc(length + 1));
  bool logged;
  if (line != nullptr) {
    memcpy(line, message, length);
    line[length] = '\n';
    logged = os_append_text(path, line, length + 1);
    free(line);
  } else {
    logged = os_append_text(path, message, length) && os_append_text(path, "\n", 1);
  }
  if (!logged) exit(2);
  printf("Pragma: no-cache\n");
  printf("Content-type: text/html\n\n");
  printf("<HTML><BODY>\nerror: %s.\n</BODY></HTML>\n", message);
  fflush(stdout);
  // Not written when fatal_reply was reached from inside the log writer.
  if (!g_log.busy && log_level_enabled(LOG_DEBUG)) log_write_line("ended");
  exit(1);
}

void fatal_spill() { exit(9); }
