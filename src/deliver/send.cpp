// The mail destination of a submission: its exchange with the server, with
// its copy in the spool, and the confirmation that may follow it.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "base/program.h"
#include "deliver/attempt.h"
#include "deliver/deliver.h"
#include "deliver/mail_options.h"
#include "deliver/spool_store.h"
#include "platform/os.h"

static_assert(kDeliveryTextSize >= kReplyBufferSize + 1, "a reply line fits a result");

namespace {

// printf of a null %s is undefined; the log shows "(null)" on purpose.
const char* or_null(const char* text) { return text != nullptr ? text : "(null)"; }

SmtpEnvelope envelope_of(const SubmittedMessage& message) {
  return SmtpEnvelope{message.from, message.to, message.cc, message.bcc};
}

SmtpContent content_of(const SubmittedMessage& message) {
  return SmtpContent{message.header, message.body, message.header_shown, message.body_shown,
                     message.body_source};
}

// Keeps the message in queue/ as NAME_new.txt. Returns false after an
// error line when it cannot be kept (the message goes out all the same).
bool keep_copy(const SpoolStore& store, const char* base, const SubmittedMessage& submitted,
               const char* line_ending, int max_mb, char** queued,
               const DeliveryContext* held = nullptr) {
  SpoolMessage message = {line_ending, const_cast<char*>(submitted.from),
                          const_cast<char*>(submitted.to), const_cast<char*>(submitted.cc),
                          const_cast<char*>(submitted.bcc), const_cast<char*>(submitted.header),
                          const_cast<char*>(submitted.body)};
  bool unscanned = held != nullptr && held->hold_unscanned;
  if (held != nullptr) {
    message.scan_pending = held->hold_unscanned;
    message.judge_shared_state = held->hold_for_state;
    message.client = const_cast<char*>(held->state_client);
    if (held->state_duplicate != nullptr) {
      snprintf(message.duplicate, sizeof message.duplicate, "%s", held->state_duplicate);
    }
  }
  // A body written in blocks follows the rest of the file.
  const ChunkSource* rest = submitted.body_source;
  if (rest != nullptr) message.body = const_cast<char*>("");
  size_t length = 0;
  char* data = spool_format(message, &length);
  const char* which = nullptr;
  const char* step = "create";
  char* where = nullptr;
  // A full queue or disk: the message goes straight to the server.
  size_t whole = length + (rest != nullptr ? static_cast<size_t>(rest->size) : 0);
  if (!spool_has_room(store, whole, max_mb)) {
    free(data);
    return false;
  }
  // The folders exist but on a first run (or after one was removed): the
  // copy is tried first, and they are made only when one is missing. A
  // folder that is a link is never followed.
  int err = os_is_link(store.tmp) || os_is_link(store.queue)
                ? ELOOP
                : spool_keep(store, base, data, length, queued, &step, &where, rest);
  if (err == ENOENT) {
    free(where);
    where = nullptr;
    step = "create";
    err = spool_ensure_folders(store, &which);
    if (err == 0) err = spool_keep(store, base, data, length, queued, &step, &where, rest);
  }
  free(data);
  if (err == 0) return true;
  log_event(LOG_ERROR, "spool: cannot keep the message in {%s}: %s {%s} failed (%d: %s); %s.",
            store.root, step, where != nullptr ? where : which, err, strerror(err),
            unscanned ? "nothing sent" : "sending it without a copy");
  free(where);
  return false;
}

// Renames a copy the server did not take to NAME_<tries>.txt; a try counts
// when the server was reached.
void note_tried(const SpoolStore& store, const char* queued, const char* base, bool counted) {
  char name[kSpoolFileNameSize];
  snprintf(name, sizeof name, "%s_%d.txt", base, counted ? 1 : 0);
  char* tried = spool_path(store.queue, name);
  int err = os_rename_noreplace(queued, tried);
  if (err != 0) {
    // NAME_new.txt is taken up by a resend once this run has ended.
    log_event(LOG_ERROR, "spool: {%s} cannot be renamed to {%s} (%d: %s).", queued, name, err,
              strerror(err));
  } else {
    log_event(LOG_DEBUG, "spool: {%s} waits in the queue.", name);
  }
  free(tried);
}

DeliveryOutcome outcome_of(AttemptEnd end) {
  switch (end) {
    case AttemptEnd::kSent: return DeliveryOutcome::kSent;
    case AttemptEnd::kRefused: return DeliveryOutcome::kRefused;
    case AttemptEnd::kNoConnection:
    case AttemptEnd::kTimedOut: break;
  }
  return DeliveryOutcome::kUnreachable;
}

// One message of the mail destination on its way: its spool copy and the
// hook that takes the copy out once the server accepted it.
struct MailCopy {
  char base[kSpoolNameSize];
  char* queued;  // its copy in queue/, or null
  Attempt attempt;
};

// Its name (the submission's id when one of spool form is given), and its
// copy when there is a spool.
void copy_start(const SpoolStore* store, const Settings& settings, const char* id,
                const SubmittedMessage& message, MailCopy* copy) {
  copy->queued = nullptr;
  copy->base[0] = '\0';
  copy->attempt = Attempt{nullptr, nullptr, copy->base, false, false};
  if (store == nullptr) return;
  SpoolName parsed;
  if (id != nullptr && spool_parse_name(id, /*folder=*/true, &parsed)) {
    snprintf(copy->base, sizeof copy->base, "%s", id);
  } else {
    spool_new_name(copy->base, sizeof copy->base);
  }
  if (keep_copy(*store, copy->base, message, settings_line_ending(settings),
                settings.spool_max_mb, &copy->queued)) {
    copy->attempt.store = store;
    copy->attempt.file = copy->queued;
  }
}

// Everything one delivery to the mail holds.
struct MailRun {
  const DeliveryContext* context;
  const Submission* submission;
  DeliveryOptions options;
  bool usable;  // the delivery settings can be used
  SmtpSession session;
  SpoolStore store;
  bool spool;
  MailCopy main;
  MailCopy second;  // the confirmation's
};

// The confirmation after the first exchange: over a second connection when
// the session ended before it and the message was accepted or kept, then
// its outcome.
void confirmation_finish(MailRun* run, const SmtpResult& first, bool first_went,
                         ConfirmationResult* out) {
  const SubmittedMessage& confirmation = *run->submission->confirmation;
  MailCopy* copy = &run->second;
  AttemptEnd end = first.follow_up_sent ? AttemptEnd::kSent : AttemptEnd::kRefused;
  bool counted = first.connected;
  out->tried = first.follow_up_tried;
  if (!out->tried && first_went) {
    out->tried = true;
    end = AttemptEnd::kNoConnection;
    if (run->usable) {
      SmtpResult again;
      end = attempt_dialogue(&run->session, &copy->attempt, run->context->settings->smtp,
                             envelope_of(confirmation), content_of(confirmation), &again);
      counted = again.connected;
    }
  }
  if (!out->tried) {
    if (copy->queued != nullptr) (void)os_remove_file(copy->queued);  // never offered: not kept
  } else if (copy->attempt.delivered || end == AttemptEnd::kSent) {
    out->outcome = DeliveryOutcome::kSent;
  } else if (copy->attempt.store != nullptr) {
    note_tried(run->store, copy->queued, copy->base, counted);
    out->outcome = DeliveryOutcome::kKeptInSpool;
    snprintf(out->spool_name, sizeof out->spool_name, "%s", copy->base);
  } else {
    out->outcome = outcome_of(end);
  }
}

// The exchange for the message (and the confirmation in the same session),
// when the settings can be used. Returns how it ended, the result in *out.
AttemptEnd exchange(MailRun* run, SmtpResult* out) {
  const Submission& submission = *run->submission;
  SmtpMessage message = {envelope_of(submission.message), content_of(submission.message),
                         attempt_accepted, &run->main.attempt};
  SmtpMessage follow_up = {};
  if (submission.confirmation != nullptr) {
    follow_up = SmtpMessage{envelope_of(*submission.confirmation),
                            content_of(*submission.confirmation), attempt_accepted,
                            &run->second.attempt};
  }
  *out = smtp_dialogue(&run->session, run->context->settings->smtp, message,
                       submission.confirmation != nullptr ? &follow_up : nullptr);
  return attempt_end(run->main.attempt, *out);
}

// The message's outcome into `result`: kept in the spool when the server
// did not take it and a copy is there.
void settle_message(MailRun* run, AttemptEnd end, const SmtpResult& smtp,
                    DeliveryResult* result) {
  Attempt& attempt = run->main.attempt;
  result->outcome = run->usable ? outcome_of(end) : DeliveryOutcome::kNotConfigured;
  result->reply_code = smtp.reply_code;
  snprintf(result->reply_text, sizeof result->reply_text, "%s", smtp.reply_text);
  snprintf(result->failure, sizeof result->failure, "%s", smtp.failure);
  if (attempt.store != nullptr && attempt.delivered) spool_pause(run->store, "spool-sent");
  if (attempt.store != nullptr && !attempt.delivered) {
    note_tried(run->store, run->main.queued, run->main.base, smtp.connected);
    result->outcome = DeliveryOutcome::kKeptInSpool;
    snprintf(result->spool_name, sizeof result->spool_name, "%s", run->main.base);
    if (!run->usable) {
      snprintf(result->failure, sizeof result->failure,
               "the delivery settings cannot be used");
    }
  }
}

// The options and the spool copies, before any exchange.
void mail_start(MailRun* run) {
  const DeliveryContext& context = *run->context;
  const Settings& settings = *context.settings;
  run->usable = delivery_options(settings, &run->options);
  if (context.fixed_from != nullptr) {
    hello_name_choose(settings.hello_name, settings.standard_headers, context.fixed_from,
                      run->options.hello_name, sizeof run->options.hello_name);
  }
  SmtpOptions options = run->options.smtp;
  options.end_by_ms = context.deadline_ms;
  smtp_session_init(&run->session, options);
  run->spool = settings.spool_folder != nullptr;
  if (run->spool) {
    spool_store_open(settings.spool_folder, context.ini_path, settings.spool_keep_sent,
                     settings.smtp_timeout, context.pause_at, &run->store);
  }
  const SpoolStore* store = run->spool ? &run->store : nullptr;
  copy_start(store, settings, context.submission_id, run->submission->message, &run->main);
  if (run->main.attempt.store != nullptr) {
    log_event(LOG_DEBUG, "spool: message kept as {%s}.", run->main.queued);
    spool_pause(run->store, "spool-queued");
  }
  if (run->submission->confirmation != nullptr) {
    copy_start(store, settings, nullptr, *run->submission->confirmation, &run->second);
  }
}

void mail_end(MailRun* run) {
  smtp_session_end(&run->session);
  free(run->main.queued);
  free(run->second.queued);
  if (run->spool) spool_store_close(&run->store);
  delivery_options_free(&run->options);
}

// A message whose files could not be scanned, or that the shared state
// could not judge: kept in queue/ marked so, for -resend to scan or judge;
// nothing goes to the server.
DeliveryReport hold_for_resend(const DeliveryContext& context, const Submission& submission) {
  DeliveryReport report = {};
  DeliveryResult& result = report.mail;
  report.confirmation.outcome = DeliveryOutcome::kNotConfigured;
  result.outcome = DeliveryOutcome::kNotConfigured;
  const Settings& settings = *context.settings;
  if (settings.spool_folder == nullptr) return report;
  SpoolStore store;
  spool_store_open(settings.spool_folder, context.ini_path, settings.spool_keep_sent,
                   settings.smtp_timeout, context.pause_at, &store);
  char base[kSpoolNameSize];
  SpoolName parsed;
  if (context.submission_id != nullptr &&
      spool_parse_name(context.submission_id, /*folder=*/true, &parsed)) {
    snprintf(base, sizeof base, "%s", context.submission_id);
  } else {
    spool_new_name(base, sizeof base);
  }
  char* queued = nullptr;
  if (keep_copy(store, base, submission.message, settings_line_ending(settings),
                settings.spool_max_mb, &queued, &context)) {
    note_tried(store, queued, base, false);
    result.outcome = DeliveryOutcome::kKeptInSpool;
    snprintf(result.spool_name, sizeof result.spool_name, "%s", base);
    snprintf(result.failure, sizeof result.failure, "%s",
             context.hold_unscanned ? "not scanned for viruses yet" : "not judged yet");
  }
  free(queued);
  spool_store_close(&store);
  return report;
}

}  // namespace

const char* attempt_end_text(AttemptEnd end) {
  switch (end) {
    case AttemptEnd::kNoConnection: return "the server did not respond";
    case AttemptEnd::kTimedOut: return "the server did not answer in time";
    case AttemptEnd::kRefused: return "the server did not take the message";
    case AttemptEnd::kSent: break;
  }
  return "";
}

void attempt_accepted(void* context) {
  Attempt* attempt = static_cast<Attempt*>(context);
  attempt->delivered = true;
  if (attempt->store != nullptr) {
    attempt->out_of_spool = spool_take_out_sent(*attempt->store, attempt->file, attempt->base);
  }
}

AttemptEnd attempt_end(const Attempt& attempt, const SmtpResult& result) {
  if (result.sent || attempt.delivered) return AttemptEnd::kSent;
  if (!result.connected) return AttemptEnd::kNoConnection;
  return result.timed_out ? AttemptEnd::kTimedOut : AttemptEnd::kRefused;
}

AttemptEnd attempt_dialogue(SmtpSession* session, Attempt* attempt, const char* server,
                            const SmtpEnvelope& envelope, const SmtpContent& content,
                            SmtpResult* result) {
  SmtpMessage message = {envelope, content, attempt_accepted, attempt};
  SmtpResult got = smtp_dialogue(session, server, message);
  if (result != nullptr) *result = got;
  return attempt_end(*attempt, got);
}

DeliveryReport deliver_submission(const DeliveryContext& context, const Submission& submission) {
  if (context.hold_unscanned || context.hold_for_state) {
    return hold_for_resend(context, submission);
  }
  const SubmittedMessage& message = submission.message;
  DeliveryReport report = {};
  DeliveryResult& result = report.mail;
  result.recipients = 1 + (message.cc != nullptr ? 1 : 0) + (message.bcc != nullptr ? 1 : 0);
  report.confirmation.outcome = DeliveryOutcome::kNotConfigured;
  log_event(LOG_DEBUG, "about to send email to smtp server (%s) from: (%s) to: (%s)",
            or_null(context.settings->smtp), message.from, message.to);
  MailRun run = {};
  run.context = &context;
  run.submission = &submission;
  mail_start(&run);
  SmtpResult smtp = {};
  AttemptEnd end = run.usable ? exchange(&run, &smtp) : AttemptEnd::kNoConnection;
  settle_message(&run, end, smtp, &result);
  if (submission.confirmation != nullptr) {
    bool went = run.spool ? run.main.attempt.store != nullptr || run.main.attempt.delivered
                          : end == AttemptEnd::kSent;
    confirmation_finish(&run, smtp, run.usable ? went : run.main.attempt.store != nullptr,
                        &report.confirmation);
  }
  mail_end(&run);
  if (run.usable && end == AttemptEnd::kSent) {
    log_event(LOG_DEBUG, "email sent! (1)");
  } else {
    log_event(LOG_ERROR, "Email not sent.");
  }
  return report;
}
