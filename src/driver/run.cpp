#include "driver/run.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "compose/message.h"
#include "config/settings.h"
#include "driver/commands.h"
#include "driver/faq.h"
#include "driver/help.h"
#include "form/form.h"
#include "platform/os.h"
#include "reply/page.h"

Program g_program;

void derive_path(const char* program_path, const char* ext, char* out) {
  snprintf(out, kPathLimit + 1, "%s%s", program_path, ext);
  // The extension and its NUL (5 bytes) overwrite the first ".exe", then the
  // first ".cgi", of the whole path: the name ends right after the extension.
  char* found = strstr(out, ".exe");
  if (found != nullptr) memcpy(found, ext, 5);
  found = strstr(out, ".cgi");
  if (found != nullptr) memcpy(found, ext, 5);
}

void fatal_reply(const char* message) {
  // The bare message line (no timestamp) is one write, like every log line.
  size_t len = strlen(message);
  char* line = static_cast<char*>(malloc(len + 2));
  bool logged;
  if (line != nullptr) {
    memcpy(line, message, len);
    line[len] = '\n';
    logged = os_append_text(g_program.log_path, line, len + 1);
    free(line);
  } else {
    logged = os_append_text(g_program.log_path, message, len) &&
             os_append_text(g_program.log_path, "\n", 1);
  }
  if (!logged) exit(2);
  printf("Pragma: no-cache\n");
  printf("Content-type: text/html\n\n");
  printf("<HTML><BODY>\nerror: %s.\n</BODY></HTML>\n", message);
  fflush(stdout);
  log_event(LOG_DEBUG, "ended");
  exit(1);
}

int run_cgi() {
  log_event(LOG_DEBUG, "starting version %s", kProgramVersion);
  startup_report_and_help();
  log_event(LOG_DEBUG, "getting form info.");
  read_form();
  log_event(LOG_DEBUG, "loading config file.");
  read_settings();
  log_event(LOG_DEBUG, "generating email.");
  if (assemble_and_send() != 0) {
    log_event(LOG_DEBUG, "sending success reply message.");
    send_success_reply();
  } else {
    log_event(LOG_DEBUG, "sending failure reply message.");
    send_failure_reply();
  }
  log_event(LOG_DEBUG, "ended.");
  fflush(stdout);
  return 0;
}

int quillon_main(int argc, char** argv) {
  g_program.argc = argc;
  g_program.argv = argv;
  const char* program_path = argc > 0 && argv[0] != nullptr ? argv[0] : "";
  derive_path(program_path, ".ini", g_program.ini_path);
  derive_path(program_path, ".log", g_program.log_path);
  g_log.path = g_program.log_path;
  os_stdout_binary();

  if (argc == 2) {
    const char* option = argv[1];
    if (strcmp(option, "-version") == 0 || strcmp(option, "-?") == 0) {
      print_version_banner();
    }
    if (strcmp(option, "-FAQ") == 0) {
      print_faq_page();
      fflush(stdout);
      return 0;
    }
    if (strcmp(option, "-blanklog") == 0) blank_log();
  }
  if (argc == 3 && strcmp(argv[1], "-version_insert_filename") == 0) {
    version_insert_filename(argv[2]);
  }
  return run_cgi();
}
