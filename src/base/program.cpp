#include "base/program.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "platform/os.h"

Program g_program;

const char* program_path() {
  return g_program.argc > 0 && g_program.argv != nullptr && g_program.argv[0] != nullptr
             ? g_program.argv[0]
             : "";
}

const char* environment_value(const char* name) { return getenv(name); }

void fatal_reply(const char* message) {
  // The bare message line (no timestamp) is one write, like every log line.
  size_t length = strlen(message);
  char* line = static_cast<char*>(malloc(length + 1));
  bool logged;
  if (line != nullptr) {
    memcpy(line, message, length);
    line[length] = '\n';
    logged = os_append_text(g_program.log_path, line, length + 1);
    free(line);
  } else {
    logged = os_append_text(g_program.log_path, message, length) &&
             os_append_text(g_program.log_path, "\n", 1);
  }
  if (!logged) exit(2);
  printf("Pragma: no-cache\n");
  printf("Content-type: text/html\n\n");
  printf("<HTML><BODY>\nerror: %s.\n</BODY></HTML>\n", message);
  fflush(stdout);
  // Not written when fatal_reply was reached from inside the log writer.
  log_event(LOG_DEBUG, "ended");
  exit(1);
}

void fatal_spill() { exit(9); }

char* copy_bytes_or_die(const char* text, size_t length, const char* failure) {
  char* copy = static_cast<char*>(malloc(length + 1));
  if (copy == nullptr) fatal_reply(failure);
  memcpy(copy, text, length);
  copy[length] = '\0';
  return copy;
}

char* copy_text_or_die(const char* text, const char* failure) {
  return copy_bytes_or_die(text, strlen(text), failure);
}

bool ascii_equal_n(const char* a, const char* b, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    if (a[i] == '\0') return true;
  }
  return true;
}
