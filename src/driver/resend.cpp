#include "driver/resend.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "base/program.h"
#include "deliver/deliver.h"
#include "driver/environment.h"
#include "driver/form_choice.h"
#include "config/settings.h"
#include "platform/os.h"

static void print_outcome(const char* name, const char* outcome, void*) {
  printf("%s: %s\n", name, outcome);
  fflush(stdout);
}

// The run once the settings are read; returns the exit code.
static int resend_with(const Settings& settings) {
  ResendTally tally;
  char error[1000];
  ResendStatus status = deliver_resend(delivery_context(settings), print_outcome, nullptr,
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
         "%d waiting in queue/ (%lld KB of spool_max_mb %d MB)\n",
         tally.sent, tally.kept, tally.failed, tally.others, tally.waiting,
         (tally.queue_bytes + 1023) / 1024, settings.spool_max_mb);
  fflush(stdout);
  log_event(LOG_DEBUG, "resend: ended.");
  return tally.waiting == 0 ? 0 : 3;
}

// The queue of the settings as the chosen form (or none) has them; the exit
// code. `done` holds the spool folders already gone through (`count`); with
// `done`, settings without a spool are passed over (the forms' run).
static int resend_one(char** done, int* count) {
  // A command says in words what a CGI run answers with an error page.
  Settings settings;
  if (!settings_read(g_program.ini_path, FieldLookup{nullptr, nullptr}, &settings)) {
    printf("resend: the settings file %s cannot be opened.\n", g_program.ini_path);
    fflush(stdout);
    return 3;
  }
  bool pass = false;
  if (done != nullptr) {
    pass = settings.spool_folder == nullptr;
    for (int i = 0; !pass && i < *count; ++i) pass = strcmp(done[i], settings.spool_folder) == 0;
    if (!pass) done[(*count)++] = copy_text_or_die(settings.spool_folder, kOutOfMemoryCopy);
  }
  int code = 0;
  if (!pass) {
    if (g_program.form_name[0] != '\0') printf("resend: form %s\n", g_program.form_name);
    code = resend_with(settings);
  }
  // Freed last: the log follows the settings' logging level to the end.
  settings_free(&settings);
  return code;
}

int resend_queue() {
  log_event(LOG_DEBUG, "resend: starting version %s", kProgramVersion);
  constexpr int kMostForms = 200;
  static char names[kMostForms][65];
  // --form NAME: that form's queue alone; without forms, the one queue.
  int forms = g_program.form_name[0] != '\0' ? 0 : list_forms(names, kMostForms);
  if (forms == 0) return resend_one(nullptr, nullptr);
  // Else the shared queue and every form's own, each once.
  char* done[kMostForms + 1];
  int count = 0;
  int code = resend_one(done, &count);
  for (int i = 0; i < forms; ++i) {
    choose_named_form(names[i]);
    int form_code = resend_one(done, &count);
    if (form_code != 0) code = form_code;
  }
  choose_no_form();
  if (count == 0) {
    printf("resend: no spool_folder line in the settings file %s or any form's file.\n",
           g_program.ini_path);
    code = 3;
  }
  for (int i = 0; i < count; ++i) free(done[i]);
  fflush(stdout);
  return code;
}
