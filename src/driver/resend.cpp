#include "driver/resend.h"

#include <cstdio>

#include "archive/archive.h"
#include "archive/archive_spool.h"
#include "base/log.h"
#include "base/program.h"
#include "deliver/deliver.h"
#include "driver/environment.h"
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
  return tally.waiting == 0 ? 0 : 3;
}

int resend_queue() {
  log_event(LOG_DEBUG, "resend: starting version %s", kProgramVersion);
  // A command says in words what a CGI run answers with an error page.
  Settings settings;
  if (!settings_read(g_program.ini_path, FieldLookup{nullptr, nullptr}, &settings)) {
    printf("resend: the settings file %s cannot be opened.\n", g_program.ini_path);
    fflush(stdout);
    return 3;
  }
  int code = resend_with(settings);
  shared_state_finish();
  // Freed last: the log follows the settings' logging level to the end.
  settings_free(&settings);
  return code;
}
