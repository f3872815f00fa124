#include "base/fatal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log_line.h"
#include "base/outcome.h"
#include "platform/os.h"

FatalAnswer g_fatal = {nullptr, false};

static bool is_out_of_memory(const char* message) {
  return strcmp(message, kOutOfMemoryRecord) == 0 || strcmp(message, kOutOfMemory) == 0 ||
         strcmp(message, kOutOfMemoryCopy) == 0;
}

// The short error page, after any Status line the caller printed.
static void print_error_page(const char* message) {
  printf("Pragma: no-cache\n");
  printf("Content-type: text/html\n\n");
  printf("<HTML><BODY>\nerror: %s.\n</BODY></HTML>\n", message);
}

// The answer is out: the log's "ended" line (not when the end was reached
// from inside the log writer), then exit code 1.
[[noreturn]] static void end_answered() {
  fflush(stdout);
  if (!g_log.busy && log_level_enabled(LOG_DEBUG)) log_write_line("ended");
  exit(1);
}

// Nothing here allocates but what stdio may for its buffer (it writes
// unbuffered when it cannot) and what the log's line writer does for a
// line over 512 bytes, which these are not.
[[noreturn]] static void out_of_memory_reply(const char* message) {
  log_write_line(message);
  if (g_fatal.submission) {
    char line[96];
    snprintf(line, sizeof line, "outcome: not sent, out of memory (%s)",
             outcome_info(Outcome::kServerError).word);
    log_write_line(line, /*outcome=*/true);
  }
  if (g_fatal.json != nullptr) {
    fputs(g_fatal.json, stdout);
  } else {
    const OutcomeInfo& info = outcome_info(Outcome::kServerError);
    printf("Status: %d %s\n", info.status, info.status_text);
    print_error_page(message);
  }
  end_answered();
}

void fatal_reply(const char* message) {
  // The lines held until the settings were read come first.
  log_release_lines();
  if (is_out_of_memory(message)) out_of_memory_reply(message);
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
  print_error_page(message);
  end_answered();
}

void fatal_spill() { exit(9); }
