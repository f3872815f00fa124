#include "driver/help.h"

#include <cstdlib>

#include "base/log.h"
#include "driver/run.h"

// Placeholder until the help text lands.
void startup_report_and_help() {
  log_event(LOG_DEBUG, "argv[0] == %s", g_program.argv[0]);
  log_event(LOG_DEBUG, "Log file == %s", g_program.log_path);
  log_event(LOG_DEBUG, "Ini file == %s", g_program.ini_path);
  if (g_program.argc <= 1) return;
  exit(0);
}

void read_answer_line(char* dest) { dest[0] = '\0'; }
