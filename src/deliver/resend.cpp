// The resend worker: every message of queue/, oldest first.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "base/program.h"
#include "base/text.h"
#include "deliver/attempt.h"
#include "deliver/deliver.h"
#include "deliver/mail_options.h"
#include "deliver/quarantine.h"
#include "deliver/quarantine_copy.h"
#include "deliver/resend_run.h"
#include "deliver/spool_store.h"
#include "platform/os.h"

void say(Resend* run, const char* name, const char* format, ...) {
  char outcome[400];
  va_list args;
  va_start(args, format);
  vsnprintf(outcome, sizeof outcome, format, args);
  va_end(args);
  run->report(name, outcome, run->context);
}

namespace {

// A file for a destination this run does not deliver goes back to queue/
// under its name, for the run that does.
void leave_in_queue(Resend* run, const char* claimed, const char* name,
                    const SpoolMessage& message) {
  char* queued = spool_path(run->store.queue, name);
  int err = os_rename_noreplace(claimed, queued);
  free(queued);
  // The value comes from the file: quoted like any outside text.
  const char* destination = log_quote(0, message.destination_text);
  if (err == 0) {
    log_event(LOG_ERROR, "resend: {%s} is for the destination {%s}, which -resend does not "
              "deliver; left in queue/.", name, destination);
    say(run, name, "left in the queue (for the destination %s)", destination);
    ++run->tally->kept;
    return;
  }
  // Still claimed: a later run's release of stale claims puts it back.
  log_event(LOG_ERROR, "resend: {%s} is for the destination {%s}, which -resend does not "
            "deliver, and it cannot go back to queue/ (%d: %s).", name, destination, err,
            strerror(err));
  say(run, name, "not put back into the queue (%s)", strerror(err));
  ++run->tally->others;
}

// Reads a claimed file whole, or only its head when it is larger than
// kSpoolReadWhole: then *body says where its body is (else its path is null).
char* read_claimed(const char* claimed, SpoolBody* body, size_t* length, const char** why,
                   int* open_error) {
  long long size = 0;
  body->path = nullptr;
  if (os_file_size(claimed, &size) != 0 || size <= kSpoolReadWhole) {
    return spool_read_file(claimed, length, why, open_error);
  }
  if (size > kSpoolMostStreamed) {
    *open_error = 0;
    *why = "it is larger than 64 MiB";
    return nullptr;
  }
  body->path = claimed;
  body->size = size;
  return spool_read_head(claimed, static_cast<size_t>(kSpoolReadWhole), length, why, open_error);
}

// A claimed file read as a spool message (the body of a large one left in
// the file: *body). Returns false when it is out of the queue for another
// reason (taken, unreadable, too old), tallied.
bool load_claimed(Resend* run, const char* claimed, const char* name, const SpoolName& parsed,
                  SpoolMessage* message, SpoolBody* body) {
  const char* why = nullptr;
  size_t length = 0;
  char* data = nullptr;
  // On Windows a rename or a time stamp that another run began on the file
  // before it was claimed holds it for a moment: the open is tried again.
  for (int tries = 1;; ++tries) {
    int open_error = 0;
    data = read_claimed(claimed, body, &length, &why, &open_error);
    if (open_error == ENOENT) {
      // Such a rename, begun before the claim, took the file along.
      say(run, name, "taken by another run");
      ++run->tally->others;
      return false;
    }
    if (data != nullptr || open_error == 0 || tries == 20) break;
    os_sleep_ms(50);
  }
  size_t body_at = 0;
  bool readable = data != nullptr && (body->path == nullptr
                                          ? spool_parse(data, length, message, &why)
                                          : spool_parse_head(data, length, message, &body_at, &why));
  free(data);
  if (readable && body->path != nullptr) {
    body->offset = static_cast<long long>(body_at);
    body->size -= body->offset;
  }
  if (!readable) {
    char reason[200];
    snprintf(reason, sizeof reason, "is not a readable spool file (%s)", why);
    spool_give_up(run->store, claimed, name, reason);
    say(run, name, "moved to failed/ (not a readable spool file: %s)", why);
    drop_queue_hooks(run, name, parsed.base_length);
    ++run->tally->failed;
    return false;
  }
  if (message->destination != SpoolDestination::kMail) {
    leave_in_queue(run, claimed, name, *message);
    spool_message_free(message);
    return false;
  }
  if (spool_now_seconds() - parsed.seconds > kSpoolMaxAgeSeconds) {
    spool_give_up(run->store, claimed, name, "is older than 7 days");
    say(run, name, "moved to failed/ (older than 7 days)");
    drop_queue_hooks(run, name, parsed.base_length);
    ++run->tally->failed;
    spool_message_free(message);
    return false;
  }
  return true;
}

// The dialogue for a loaded message, its copy taken out when it is sent.
AttemptEnd send_loaded(Resend* run, const char* claimed, const char* name, const char* base,
                       const SpoolMessage& message, const SpoolBody& body) {
  // The commands end as the message's lines do, so the exchange is the one
  // the first run would have had.
  SmtpSession session;
  smtp_session_init(&session, run->options.smtp);
  session.options.line_ending = message.line_ending;
  const char* server = run->settings->smtp;
  log_event(LOG_DEBUG, "resend: sending {%s} to smtp server (%s) from: (%s) to: (%s)", name,
            server != nullptr ? server : "(null)", message.from, message.to);
  // The blocks came from a form: in the log every line break of theirs is
  // escaped, so none of their text can start a log line. Only the debug
  // lines show them.
  TextBuffer* header_shown = nullptr;
  TextBuffer* body_shown = nullptr;
  if (log_level_enabled(LOG_DEBUG)) {
    header_shown = text_buffer_new("");
    body_shown = text_buffer_new("");
    log_escape_append(header_shown, message.header_block, strlen(message.header_block));
    if (body.path != nullptr) {
      text_buffer_append(body_shown, "(%lld bytes of the message body, sent from the file)",
                         body.size);
    } else {
      log_escape_append(body_shown, message.body, strlen(message.body));
    }
  }
  SmtpEnvelope envelope = {message.from, message.to, message.cc, message.bcc};
  SmtpContent content = {message.header_block, message.body,
                         header_shown != nullptr ? header_shown->data : nullptr,
                         body_shown != nullptr ? body_shown->data : nullptr};
  // A large file's body goes from the file to the server in blocks.
  ChunkSource source = spool_body_source(&body);
  if (body.path != nullptr) content.body_source = &source;
  Attempt attempt = {&run->store, claimed, base, false, false};
  AttemptEnd end = attempt_dialogue(&session, &attempt, server, envelope, content);
  smtp_session_end(&session);
  text_buffer_free(header_shown);
  text_buffer_free(body_shown);
  return attempt.delivered ? AttemptEnd::kSent : end;
}

// A message the server did not take: back to the queue with its count, or
// to failed/ after kSpoolMaxAttempts.
void after_failure(Resend* run, const char* claimed, const char* name, const SpoolName& parsed,
                   const char* base, AttemptEnd end) {
  int attempts = parsed.attempts < 0 ? 0 : parsed.attempts;
  if (end != AttemptEnd::kNoConnection) ++attempts;
  const char* what = attempt_end_text(end);
  if (attempts >= kSpoolMaxAttempts) {
    char reason[200];
    snprintf(reason, sizeof reason, "failed %d times (last: %s)", attempts, what);
    char failed_name[kSpoolFileNameSize];
    snprintf(failed_name, sizeof failed_name, "%s_%d.txt", base, attempts);
    spool_give_up(run->store, claimed, failed_name, reason);
    say(run, name, "moved to failed/ (%s)", reason);
    drop_queue_hooks(run, name, parsed.base_length);
    ++run->tally->failed;
    return;
  }
  char new_name[kSpoolFileNameSize];
  if (spool_put_back(run->store, claimed, name, parsed.base_length, attempts, new_name,
                     sizeof new_name) != 0) {
    say(run, name, "not sent (%s), and it cannot go back to the queue: see the log", what);
    ++run->tally->others;
    return;
  }
  log_event(LOG_DEBUG, "resend: {%s} not sent (%s); back in the queue as {%s}.", name, what,
            new_name);
  say(run, name, "kept in the queue as %s (%s; %d of %d attempts)", new_name, what, attempts,
      kSpoolMaxAttempts);
  ++run->tally->kept;
}

// Sends one claimed message. Returns how its dialogue ended (kSent also
// when the message is out of the queue for another reason).
AttemptEnd resend_claimed(Resend* run, const char* claimed, const char* name,
                          const SpoolName& parsed) {
  SpoolMessage message;
  SpoolBody body = {};
  if (!load_claimed(run, claimed, name, parsed, &message, &body)) return AttemptEnd::kSent;
  char base[kSpoolNameSize];
  snprintf(base, sizeof base, "%.*s", static_cast<int>(parsed.base_length), name);
  // The scanner, a quarantined copy and a file rewritten without its
  // judge mark need the whole message: a held message whose body was left
  // in its file is read whole.
  bool whole = true;
  bool pending = message.scan_pending;
  bool judge = message.judge_shared_state;
  if ((pending || judge) && body.path != nullptr) {
    spool_message_free(&message);
    whole = load_whole(claimed, &message);
    body = SpoolBody{};
  }
  if ((pending || judge) && !whole) {
    put_back_unread(run, claimed, name, parsed);
    return AttemptEnd::kSent;
  }
  if (pending && !scanned_clean(run, claimed, name, parsed, base, message)) {
    spool_message_free(&message);
    return AttemptEnd::kSent;
  }
  if (judge && !judged_fit(run, claimed, name, parsed, message)) {
    spool_message_free(&message);
    return AttemptEnd::kSent;
  }
  AttemptEnd end = send_loaded(run, claimed, name, base, message, body);
  spool_message_free(&message);
  if (end != AttemptEnd::kSent) {
    after_failure(run, claimed, name, parsed, base, end);
    return end;
  }
  log_event(LOG_DEBUG, "resend: {%s} sent.", name);
  say(run, name, "sent");
  ++run->tally->sent;
  release_queue_hooks(run, base);
  spool_pause(run->store, "resend-sent");
  return AttemptEnd::kSent;
}

// Whether `name` may be claimed now; when not, says why and tallies it.
bool claimable(Resend* run, const char* name, const char* queued, SpoolName* parsed) {
  if (!spool_parse_name(name, false, parsed)) {
    spool_give_up(run->store, queued, name, "does not have a spool file name");
    say(run, name, "moved to failed/ (not a spool file name)");
    ++run->tally->failed;
    return false;
  }
  // A message its writer is still trying is left to it; one whose writer
  // ended, or that waits longer than any run can take, is fair game.
  if (parsed->attempts < 0 && !spool_writer_ended(*parsed) &&
      spool_now_seconds() - parsed->seconds <= run->store.claim_seconds) {
    say(run, name, "left to the run that wrote it, which is still sending it");
    ++run->tally->others;
    return false;
  }
  return true;
}

// One entry of queue/: claimed and sent, or left with a word why.
void resend_one(Resend* run, const char* name) {
  if (run->stop != AttemptEnd::kSent) {
    say(run, name, "not tried (%s)", attempt_end_text(run->stop));
    ++run->tally->kept;
    return;
  }
  char* queued = spool_path(run->store.queue, name);
  char* claimed = spool_path(run->mine, name);
  SpoolName parsed;
  bool ready = claimable(run, name, queued, &parsed);
  int err = ready ? spool_claim(run->mine, queued, claimed) : 0;
  if (err == ENOENT) {
    say(run, name, "taken by another run");
    ++run->tally->others;
  } else if (err != 0) {
    log_event(LOG_ERROR, "resend: {%s} cannot be claimed (%d: %s).", name, err, strerror(err));
    say(run, name, "not tried (it cannot be moved out of the queue: %s)", strerror(err));
    ++run->tally->others;
  }
  ready = ready && err == 0;
  if (ready) {
    log_event(LOG_DEBUG, "resend: claimed {%s}.", name);
    spool_pause(run->store, "resend-claimed");
    AttemptEnd end = resend_claimed(run, claimed, name, parsed);
    // Nobody to talk to: the rest would fail alike. Two time-outs in a row
    // mean a stalled server rather than one message it chokes on.
    if (end == AttemptEnd::kNoConnection) run->stop = end;
    if (end == AttemptEnd::kTimedOut && run->timed_out_before) run->stop = end;
    run->timed_out_before = end == AttemptEnd::kTimedOut;
  }
  free(queued);
  free(claimed);
}

// The folders, this run's own work/ folder among them. Returns 0 or the
// error with the path that failed.
int prepare(Resend* run, const char** which) {
  int err = spool_ensure_folders(run->store, which);
  if (err != 0) return err;
  *which = run->store.work;
  err = spool_ensure_folder(run->store.work);
  if (err != 0) return err;
  spool_new_name(run->mine_name, sizeof run->mine_name);
  run->mine = spool_path(run->store.work, run->mine_name);
  *which = run->mine;
  return os_make_directory(run->mine);
}

// spool_keep_sent N: the sent/ files older than N days go.
void prune_sent(const Resend& run) {
  int removed = 0;
  int err = spool_prune_sent(run.store, run.settings->spool_keep_sent_days, &removed);
  if (err != 0) {
    log_event(LOG_ERROR, "resend: sent/ %s cannot be listed (%d: %s)", run.store.sent, err,
              strerror(err));
  } else if (removed > 0) {
    log_event(LOG_DEBUG, "resend: %d sent/ files older than %d days removed.", removed,
              run.settings->spool_keep_sent_days);
  }
}

// quarantine_keep_days: kept messages nobody reviewed go in the end.
void prune_quarantine(const Resend& run) {
  int removed = 0;
  int err = quarantine_prune(run.store, run.settings->quarantine_keep_days, &removed);
  if (err != 0) {
    log_event(LOG_ERROR, "resend: quarantine/ %s cannot be listed (%d: %s)",
              run.store.quarantine, err, strerror(err));
  } else if (removed > 0) {
    log_event(LOG_DEBUG, "resend: %d quarantine/ files older than %d days removed.", removed,
              run.settings->quarantine_keep_days);
  }
}

// Releases stale claims, then tries the queue. False with the reason in
// `error` when the folders cannot be used or the queue cannot be listed.
bool run_queue(Resend* run, char* error, size_t error_size) {
  const char* which = nullptr;
  int err = prepare(run, &which);
  if (err != 0) {
    snprintf(error, error_size, "the spool folder cannot be used: %s (%d: %s)", which, err,
             strerror(err));
    log_event(LOG_ERROR, "resend: %s", error);
    return false;
  }
  log_event(LOG_DEBUG, "resend: spool {%s}, working in {%s}.", run->store.root, run->mine_name);
  spool_release_claims(run->store, run->mine_name);
  spool_clear_tmp(run->store);
  prune_sent(*run);
  prune_quarantine(*run);
  NameList queue;
  err = spool_list_sorted(run->store.queue, &queue);
  if (err != 0) {
    snprintf(error, error_size, "queue/ %s cannot be listed (%d: %s)", run->store.queue, err,
             strerror(err));
    log_event(LOG_ERROR, "resend: %s", error);
  }
  for (int i = 0; err == 0 && i < queue.count; ++i) resend_one(run, queue.names[i]);
  spool_free_names(&queue);
  os_remove_directory(run->mine);
  return err == 0;
}

}  // namespace

ResendStatus deliver_resend(const DeliveryContext& context, ResendReportFn report,
                            void* report_context, ResendTally* tally, char* error,
                            size_t error_size) {
  *tally = ResendTally();
  const Settings& settings = *context.settings;
  Resend run = {};
  run.delivery = &context;
  run.settings = &settings;
  run.scan = context.scan;
  run.judge = context.judge;
  bool usable = delivery_options(settings, &run.options);
  ResendStatus status = usable ? ResendStatus::kDone : ResendStatus::kNotConfigured;
  if (usable && settings.spool_folder == nullptr) {
    snprintf(error, error_size, "no spool_folder line in the settings file %s", context.ini_path);
    status = ResendStatus::kSpoolUnusable;
  }
  if (status == ResendStatus::kDone) {
    run.report = report;
    run.context = report_context;
    run.tally = tally;
    run.stop = AttemptEnd::kSent;
    spool_store_open(settings.spool_folder, context.ini_path, settings.spool_keep_sent,
                     settings.smtp_timeout, context.pause_at, &run.store);
    // Another user's spool (root's run on www-data's among them) is not
    // touched: its files and folders are that user's to arrange.
    if (!spool_owned_by_me(run.store, error, error_size)) {
      log_event(LOG_ERROR, "resend: %s.", error);
      status = ResendStatus::kSpoolUnusable;
    } else if (!run_queue(&run, error, error_size)) {
      status = ResendStatus::kSpoolUnusable;
    }
  }
  if (status == ResendStatus::kDone) {
    NameList left;
    // A queue that cannot be listed cannot be called empty.
    tally->waiting = spool_list_sorted(run.store.queue, &left) == 0 ? left.count : left.count + 1;
    spool_free_names(&left);
    tally->queue_bytes = spool_queue_bytes(run.store);
    log_event(LOG_DEBUG, "resend: %d sent, %d kept, %d failed, %d with other runs; %d waiting.",
              tally->sent, tally->kept, tally->failed, tally->others, tally->waiting);
  }
  free(run.mine);
  spool_store_close(&run.store);
  delivery_options_free(&run.options);
  return status;
}
