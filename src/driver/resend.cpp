#include "driver/resend.h"

#include <cstdio>

#include "base/log.h"
#include "base/program.h"
#include "deliver/deliver.h"
#include "driver/run.h"
#include "config/settings.h"
#include "platform/os.h"

static void print_outcome(const char* name, const char* outcome, void*) {
  printf("%s: %s\n", name, outcome);
  fflush(stdout);
}

int resend_queue() {
  log_event(LOG_DEBUG, "resend: starting version %s", kProgramVersion);
  // read_settings answers a missing file with a page for the browser; a
  // command says it in words.
  FILE* ini = os_is_directory(g_program.ini_path) ? nullptr : fopen(g_program.ini_path, "r");
  if (ini == nullptr) {
    printf("resend: the settings file %s cannot be opened.\n", g_program.ini_path);
    fflush(stdout);
    return 3;
  }
  fclose(ini);
  read_settings();
  ResendTally tally;
  char error[1000];
  ResendStatus status = deliver_resend(delivery_context(g_settings), print_outcome, nullptr,
                                       &tally, error, sizeof error);
  if (status == ResendStatus::kNotConfigured) {
    printf("resend: the delivery settings cannot be used (see the log); nothing sent.\n");
    fflush(stdout);
    return 3;
  }
  if (status == ResendStatus::kSpoolUnusable) {
    printf("resend: %s\n", error);
    fflush(stdout);
    return 3;
  }
  printf("resend: %d sent, %d kept in the queue, %d moved to failed/, %d left to other runs; "
         "%d waiting in queue/\n",
         tally.sent, tally.kept, tally.failed, tally.others, tally.waiting);
  fflush(stdout);
  log_event(LOG_DEBUG, "resend: ended.");
  return tally.waiting == 0 ? 0 : 3;
}
