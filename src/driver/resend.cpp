#include "driver/resend.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "archive/archive.h"
#include "archive/archive_spool.h"
#include "base/log.h"
#include "base/program.h"
#include "deliver/deliver.h"
#include "deliver/webhook.h"
#include "driver/environment.h"
#include "driver/form_choice.h"
#include "config/settings.h"
#include "guard/shared_state.h"
#include "guard/state_keep.h"
#include "guard/virus_judge.h"
#include "platform/os.h"

static void print_outcome(const char* name, const char* outcome, void*) {
  printf("%s: %s\n", name, outcome);
  fflush(stdout);
}

static void print_record_outcome(const char* name, const char* outcome, void*) {
  printf("records/%s: %s\n", name, outcome);
  fflush(stdout);
}

// The archive's records that waited in the spool, added now; false (with
// the reason printed and logged) when the archive cannot take them.
static bool archive_resend_records(const Settings& settings) {
  if (settings.archive == nullptr || settings.spool_folder == nullptr) return true;
  Archive archive;
  int added = 0;
  int left = 0;
  bool ok = archive_open(settings, g_program.ini_path, settings.archive_timeout * 1000, &archive);
  if (ok) {
    ok = archive_add_waiting(&archive, settings, g_program.ini_path, print_record_outcome,
                             nullptr, &added, &left);
    archive_close(&archive);
  }
  if (!ok) {
    printf("resend: %s; the records stay in the spool.\n", archive.error);
    log_event(LOG_ERROR, "resend: %s; the records stay in the spool.", archive.error);
  } else if (added + left > 0) {
    printf("resend: %d record%s added to the archive, %d left in the spool\n", added,
           added == 1 ? "" : "s", left);
  }
  fflush(stdout);
  return ok && left == 0;
}

// A message kept unscanned, scanned whole before -resend sends it.
static ScanOutcome scan_spooled(const Settings& settings, const char* header_block,
                                const char* line_ending, const char* body, char* detail,
                                size_t detail_size) {
  ClamdResult result = virus_scan_message(settings, header_block, line_ending, body);
  switch (result.status) {
    case ClamdStatus::kClean: return ScanOutcome::kClean;
    case ClamdStatus::kFound:
      snprintf(detail, detail_size, "%s", result.name);
      return ScanOutcome::kInfected;
    default: break;
  }
  snprintf(detail, detail_size, "%s", result.text);
  return ScanOutcome::kUnscanned;
}

// The hook files of hooks/ that are due, and their summary line when the
// settings name webhooks or hooks/ held any. Returns whether none is left
// undelivered but those waiting for their time.
static bool resend_hooks(const Settings& settings) {
  HookTally tally;
  char error[1000];
  bool ok = deliver_resend_hooks(delivery_context(settings), print_outcome, nullptr, &tally,
                                 error, sizeof error);
  if (!ok) {
    printf("resend: hooks: %s\n", error);
    fflush(stdout);
    return false;
  }
  int seen = tally.delivered + tally.kept + tally.waiting + tally.gone + tally.failed +
             tally.others + tally.held + tally.queued;
  if (settings.webhooks.count > 0 || seen > 0) {
    char held[80] = "";
    if (tally.held > 0) snprintf(held, sizeof held, ", %d held for quarantine/", tally.held);
    if (tally.queued > 0) {
      size_t used = strlen(held);
      snprintf(held + used, sizeof held - used, ", %d held for queue/", tally.queued);
    }
    printf("resend: hooks: %d delivered, %d kept for retry, %d waiting for their time, "
           "%d dropped (410 Gone), %d moved to failed/, %d left to other runs%s\n",
           tally.delivered, tally.kept, tally.waiting, tally.gone, tally.failed, tally.others,
           held);
    fflush(stdout);
  }
  return tally.kept == 0 && tally.failed == 0 && tally.others == 0;
}

// A message kept because the shared state could not judge it, judged now
// against the database; each message has shared_state_timeout of its own.
static JudgeOutcome judge_spooled(const Settings& settings, const SpoolMessage& message,
                                  char* detail, size_t detail_size) {
  shared_state_start(settings, 0);
  int judged = state_keep_rejudge(settings, message.client, message.duplicate, detail,
                                  detail_size);
  if (judged > 0) return JudgeOutcome::kPass;
  return judged == 0 ? JudgeOutcome::kRefused : JudgeOutcome::kUnavailable;
}

// The run once the settings are read; returns the exit code.
static int resend_with(const Settings& settings) {
  bool hooks_done = resend_hooks(settings);
  ResendTally tally;
  char error[1000];
  // sent/ follows archive_keep_days unless spool_keep_sent gives its own.
  Settings pruning = settings;
  if (settings.archive_keep_days > 0 && settings.spool_keep_sent_days == 0) {
    pruning.spool_keep_sent_days = settings.archive_keep_days;
  }
  DeliveryContext context = delivery_context(pruning);
  if (settings.virus_scan != nullptr) context.scan = scan_spooled;
  context.judge = judge_spooled;
  ResendStatus status = deliver_resend(context, print_outcome, nullptr, &tally, error,
                                       sizeof error);
  if (status == ResendStatus::kNotConfigured && !settings.send_mail) {
    // A form that only notifies may have no mail settings at all.
    log_event(LOG_DEBUG, "resend: the mail is off (send_mail false); queue/ not tried.");
    return hooks_done ? 0 : 3;
  }
  if (status == ResendStatus::kDone && !archive_resend_records(settings)) return 3;
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
  return tally.waiting == 0 && hooks_done ? 0 : 3;
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
    shared_state_finish();
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
