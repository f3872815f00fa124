// The checks of a message held in the queue for a judge: its virus scan
// and the shared state's limits, run before -resend may send it.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/text.h"
#include "deliver/quarantine_copy.h"
#include "deliver/resend_run.h"
#include "deliver/webhook.h"
#include "deliver/webhook_store.h"
#include "platform/os.h"

bool load_whole(const char* claimed, SpoolMessage* message) {
  size_t length = 0;
  const char* why = nullptr;
  int open_error = 0;
  char* data = spool_read_file(claimed, &length, &why, &open_error);
  bool readable = data != nullptr && spool_parse(data, length, message, &why);
  free(data);
  if (!readable) *message = SpoolMessage{};
  return readable;
}

void release_queue_hooks(Resend* run, const char* base) {
  HookTally tally = {};
  char error[300];
  if (!release_queued_hooks(*run->delivery, base, run->report, run->context, &tally, error,
                            sizeof error)) {
    log_event(LOG_ERROR, "resend: the webhooks held for {%s} are not posted (%s).", base, error);
  }
}

void drop_queue_hooks(Resend* run, const char* name, size_t base_length) {
  char base[kSpoolNameSize];
  snprintf(base, sizeof base, "%.*s", static_cast<int>(base_length), name);
  int dropped = hook_store_drop_held(run->store, base);
  if (dropped > 0) {
    log_event(LOG_DEBUG, "resend: %d webhook(s) held for {%s} dropped with it.", dropped, base);
  }
}

// A message marked "scan: pending" is scanned first. Returns whether it may
// be sent; when not, it went to quarantine/ or back to the queue (its
// attempts not counted), said and tallied.
bool scanned_clean(Resend* run, const char* claimed, const char* name, const SpoolName& parsed,
                   const char* base, const SpoolMessage& message) {
  char detail[300] = "virus_scan is off";
  ScanOutcome outcome = ScanOutcome::kUnscanned;
  if (run->scan != nullptr) {
    outcome = run->scan(*run->settings, message.header_block, message.line_ending, message.body,
                        detail, sizeof detail);
  }
  if (outcome == ScanOutcome::kClean) return true;
  if (outcome == ScanOutcome::kInfected) {
    char reasons[400];
    snprintf(reasons, sizeof reasons, "clamd found %s", detail);
    if (quarantine_keep_spooled(run->store, base, message, "infected", reasons) == 0) {
      (void)os_remove_file(claimed);
      log_event(LOG_ERROR, "resend: {%s} is infected (%s); moved to quarantine/, not sent.",
                name, detail);
      say(run, name, "moved to quarantine/ (infected: %s)", detail);
      drop_queue_hooks(run, name, parsed.base_length);
      ++run->tally->failed;
      return false;
    }
    // Not kept aside: failed/ holds it, never the server.
    snprintf(reasons, sizeof reasons, "is infected (%s)", detail);
    spool_give_up(run->store, claimed, name, reasons);
    say(run, name, "moved to failed/ (infected: %s)", detail);
    drop_queue_hooks(run, name, parsed.base_length);
    ++run->tally->failed;
    return false;
  }
  log_event(LOG_ERROR, "resend: {%s} cannot be scanned for viruses (%s); kept in the queue.",
            name, detail);
  char new_name[kSpoolFileNameSize];
  int attempts = parsed.attempts < 0 ? 0 : parsed.attempts;
  if (spool_put_back(run->store, claimed, name, parsed.base_length, attempts, new_name,
                     sizeof new_name) != 0) {
    say(run, name, "not scanned (%s), and it cannot go back to the queue: see the log", detail);
    ++run->tally->others;
    return false;
  }
  say(run, name, "kept in the queue as %s (not scanned: %s)", new_name, detail);
  ++run->tally->kept;
  return false;
}

// A held message that cannot be read whole goes back to the queue, its
// attempts not counted, for a later run.
void put_back_unread(Resend* run, const char* claimed, const char* name, const SpoolName& parsed) {
  log_event(LOG_ERROR, "resend: {%s} cannot be read whole to be scanned or judged; kept in the "
            "queue.", name);
  char new_name[kSpoolFileNameSize];
  int attempts = parsed.attempts < 0 ? 0 : parsed.attempts;
  if (spool_put_back(run->store, claimed, name, parsed.base_length, attempts, new_name,
                     sizeof new_name) != 0) {
    say(run, name, "not read whole, and it cannot go back to the queue: see the log");
    ++run->tally->others;
    return;
  }
  say(run, name, "kept in the queue as %s (not read whole)", new_name);
  ++run->tally->kept;
}

// Takes the "judge: ..." lines off a claimed file once it was judged: a
// new file beside it takes its place. Returns 0 or the error.
static int drop_judge_mark(const char* claimed, const SpoolMessage& message) {
  SpoolMessage judged = message;
  judged.judge_shared_state = false;
  size_t length = 0;
  char* data = spool_format(judged, &length);
  TextBuffer* fresh = text_buffer_new("");
  text_buffer_append(fresh, "%s.judged", claimed);
  int err = os_write_new_file(fresh->data, data, length, true);
  if (err == 0) err = os_remove_file(claimed);
  if (err == 0) err = os_rename_noreplace(fresh->data, claimed);
  if (err != 0) (void)os_remove_file(fresh->data);
  text_buffer_free(fresh);
  free(data);
  return err;
}

// A message marked "judge: shared_state" is judged next. Returns whether
// it may be sent (its mark then taken off its file); when not, it went to
// failed/ or back to the queue (its attempts not counted), said and tallied.
bool judged_fit(Resend* run, const char* claimed, const char* name, const SpoolName& parsed,
                const SpoolMessage& message) {
  char detail[300] = "shared_state is not set";
  JudgeOutcome outcome = JudgeOutcome::kUnavailable;
  if (run->judge != nullptr) outcome = run->judge(*run->settings, message, detail, sizeof detail);
  int err = outcome == JudgeOutcome::kPass ? drop_judge_mark(claimed, message) : 0;
  if (outcome == JudgeOutcome::kPass && err == 0) return true;
  if (outcome == JudgeOutcome::kRefused) {
    char reason[400];
    snprintf(reason, sizeof reason, "is refused by the shared state's judges (%s)", detail);
    spool_give_up(run->store, claimed, name, reason);
    say(run, name, "moved to failed/ (%s)", detail);
    drop_queue_hooks(run, name, parsed.base_length);
    ++run->tally->failed;
    return false;
  }
  if (err != 0) {
    // Judged, but its file still says otherwise: held back rather than
    // judged twice.
    snprintf(detail, sizeof detail, "its file cannot be rewritten (%d: %s)", err, strerror(err));
  }
  log_event(LOG_ERROR, "resend: {%s} cannot be judged (%s); kept in the queue.", name, detail);
  char new_name[kSpoolFileNameSize];
  int attempts = parsed.attempts < 0 ? 0 : parsed.attempts;
  if (spool_put_back(run->store, claimed, name, parsed.base_length, attempts, new_name,
                     sizeof new_name) != 0) {
    say(run, name, "not judged (%s), and it cannot go back to the queue: see the log", detail);
    ++run->tally->others;
    return false;
  }
  say(run, name, "kept in the queue as %s (not judged: %s)", new_name, detail);
  ++run->tally->kept;
  return false;
}

