// The send of one message, with its copy in the spool.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "base/program.h"
#include "deliver/attempt.h"
#include "deliver/deliver.h"
#include "deliver/spool_store.h"
#include "platform/os.h"

namespace {

// printf of a null %s is undefined; the log shows "(null)" on purpose.
const char* or_null(const char* text) { return text != nullptr ? text : "(null)"; }

void on_accepted(void* context) {
  Attempt* attempt = static_cast<Attempt*>(context);
  attempt->delivered = true;
  if (attempt->store != nullptr) {
    attempt->out_of_spool = spool_take_out_sent(*attempt->store, attempt->file, attempt->base);
  }
}

// Keeps the message in queue/ as NAME_new.txt. Returns false after an
// error line when it cannot be kept (the message goes out all the same).
bool keep_copy(const SpoolStore& store, const char* base, const SmtpEnvelope& envelope,
               const SmtpContent& content, const char* line_ending, int max_mb,
               char** queued) {
  SpoolMessage message = {line_ending, const_cast<char*>(envelope.from),
                          const_cast<char*>(envelope.to), const_cast<char*>(envelope.cc),
                          const_cast<char*>(envelope.bcc), const_cast<char*>(content.header),
                          const_cast<char*>(content.body)};
  size_t length = 0;
  char* data = spool_format(message, &length);
  const char* which = nullptr;
  const char* step = "create";
  char* where = nullptr;
  // A full queue or disk: the message goes straight to the server.
  if (!spool_has_room(store, length, max_mb)) {
    free(data);
    return false;
  }
  // The folders exist but on a first run (or after one was removed): the
  // copy is tried first, and they are made only when one is missing. A
  // folder that is a link is never followed.
  int err = os_is_link(store.tmp) || os_is_link(store.queue)
                ? ELOOP
                : spool_keep(store, base, data, length, queued, &step, &where);
  if (err == ENOENT) {
    free(where);
    where = nullptr;
    step = "create";
    err = spool_ensure_folders(store, &which);
    if (err == 0) err = spool_keep(store, base, data, length, queued, &step, &where);
  }
  free(data);
  if (err == 0) return true;
  log_event(LOG_ERROR,
            "spool: cannot keep the message in {%s}: %s {%s} failed (%d: %s); sending it "
            "without a copy.",
            store.root, step, where != nullptr ? where : which, err, strerror(err));
  free(where);
  return false;
}

// Renames a copy the server did not take to NAME_<tries>.txt; a try counts
// when the server was reached.
void note_tried(const SpoolStore& store, const char* queued, const char* base) {
  bool counted = g_smtp.socket != kNoSocket;
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

// The second message of a delivery, on its way through the SMTP layer.
struct FollowUpRun {
  DeliveryFollowUp* follow_up;  // null: none
  SmtpFollowUp smtp;
  Attempt attempt;
  char base[kSpoolNameSize];
  char* queued;  // its copy in queue/, or null
};

// Its copy (with the spool) and its hand-over to the next dialogue.
void follow_up_start(const SpoolStore* store, const Settings& settings, FollowUpRun* run) {
  DeliveryFollowUp* follow_up = run->follow_up;
  run->attempt = Attempt{nullptr, nullptr, run->base, false, false};
  run->queued = nullptr;
  run->base[0] = '\0';
  if (store != nullptr) {
    spool_new_name(run->base, sizeof run->base);
    if (keep_copy(*store, run->base, follow_up->envelope, follow_up->content,
                  settings_line_ending(settings), settings.spool_max_mb, &run->queued)) {
      run->attempt.store = store;
      run->attempt.file = run->queued;
    }
  }
  run->smtp = SmtpFollowUp{follow_up->envelope, follow_up->content, on_accepted, &run->attempt,
                           false, false};
  smtp_set_follow_up(&run->smtp);
}

// After the first dialogue: over a second connection when the session ended
// before it and the first message was accepted or kept, then its outcome.
void follow_up_finish(const Settings& settings, bool first_went, FollowUpRun* run) {
  DeliveryFollowUp* follow_up = run->follow_up;
  smtp_set_follow_up(nullptr);
  AttemptEnd end = run->smtp.sent ? AttemptEnd::kSent : AttemptEnd::kRefused;
  if (!run->smtp.tried && first_went) {
    run->smtp.tried = true;
    end = attempt_dialogue(&run->attempt, settings.smtp, follow_up->envelope, follow_up->content);
  }
  follow_up->tried = run->smtp.tried;
  if (!follow_up->tried) {
    if (run->queued != nullptr) (void)os_remove_file(run->queued);  // never offered: not kept
  } else if (run->attempt.delivered || end == AttemptEnd::kSent) {
    follow_up->outcome = DeliveryOutcome::kSent;
  } else if (run->attempt.store != nullptr) {
    note_tried(*run->attempt.store, run->queued, run->base);
    follow_up->outcome = DeliveryOutcome::kKeptInSpool;
    snprintf(follow_up->spool_name, sizeof follow_up->spool_name, "%s", run->base);
  } else {
    follow_up->outcome = outcome_of(end);
  }
  free(run->queued);
  run->queued = nullptr;
}

// The dialogue with the message kept in the spool: `result` tells whether
// it was kept and what became of it.
void send_with_copy(const DeliveryContext& context, const SmtpEnvelope& envelope,
                    const SmtpContent& content, DeliveryResult* result, AttemptEnd* end,
                    FollowUpRun* second) {
  const Settings& settings = *context.settings;
  SpoolStore store;
  spool_store_open(settings.spool_folder, context.ini_path, settings.spool_keep_sent,
                   settings.smtp_timeout, context.pause_at, &store);
  char base[kSpoolNameSize];
  spool_new_name(base, sizeof base);
  char* queued = nullptr;
  Attempt attempt = {nullptr, nullptr, base, false, false};
  if (keep_copy(store, base, envelope, content, settings_line_ending(settings),
                settings.spool_max_mb, &queued)) {
    log_event(LOG_DEBUG, "spool: message kept as {%s}.", queued);
    spool_pause(store, "spool-queued");
    attempt.store = &store;
    attempt.file = queued;
  }
  if (second->follow_up != nullptr) follow_up_start(&store, settings, second);
  *end = attempt_dialogue(&attempt, settings.smtp, envelope, content);
  if (attempt.store != nullptr && attempt.delivered) spool_pause(store, "spool-sent");
  if (attempt.store != nullptr && !attempt.delivered) {
    note_tried(store, queued, base);
    result->outcome = DeliveryOutcome::kKeptInSpool;
    snprintf(result->spool_name, sizeof result->spool_name, "%s", base);
  }
  if (second->follow_up != nullptr) {
    follow_up_finish(settings, attempt.delivered || attempt.store != nullptr, second);
  }
  free(queued);
  spool_store_close(&store);
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

AttemptEnd attempt_dialogue(Attempt* attempt, const char* server, const SmtpEnvelope& envelope,
                            const SmtpContent& content) {
  smtp_on_accepted(on_accepted, attempt);
  bool sent = smtp_dialogue(server, envelope, content);
  smtp_on_accepted(nullptr, nullptr);
  if (sent || attempt->delivered) return AttemptEnd::kSent;
  if (g_smtp.socket == kNoSocket) return AttemptEnd::kNoConnection;
  return g_smtp.timed_out ? AttemptEnd::kTimedOut : AttemptEnd::kRefused;
}

DeliveryResult deliver_message(const DeliveryContext& context, const SmtpEnvelope& envelope,
                               const SmtpContent& content, DeliveryFollowUp* follow_up) {
  FollowUpRun second = {};
  second.follow_up = follow_up;
  if (follow_up != nullptr) {
    follow_up->tried = false;
    follow_up->outcome = DeliveryOutcome::kNotConfigured;
    follow_up->spool_name[0] = '\0';
  }
  const Settings& settings = *context.settings;
  DeliveryResult result = {};
  result.recipients = 1 + (envelope.cc != nullptr ? 1 : 0) + (envelope.bcc != nullptr ? 1 : 0);
  log_event(LOG_DEBUG, "about to send email to smtp server (%s) from: (%s) to: (%s)",
            or_null(settings.smtp), envelope.from, envelope.to);
  DeliveryOptions options;
  bool usable = delivery_options(settings, &options);
  if (context.fixed_from != nullptr) {
    hello_name_choose(settings.hello_name, settings.standard_headers, context.fixed_from,
                      options.hello_name, sizeof options.hello_name);
  }
  AttemptEnd end = AttemptEnd::kRefused;
  result.outcome = DeliveryOutcome::kNotConfigured;
  if (usable && settings.spool_folder == nullptr) {
    smtp_set_options(options.smtp);
    Attempt attempt = {nullptr, nullptr, nullptr, false, false};
    if (follow_up != nullptr) follow_up_start(nullptr, settings, &second);
    end = attempt_dialogue(&attempt, settings.smtp, envelope, content);
    result.outcome = outcome_of(end);
    if (follow_up != nullptr) follow_up_finish(settings, end == AttemptEnd::kSent, &second);
  } else if (usable) {
    smtp_set_options(options.smtp);
    result.outcome = DeliveryOutcome::kSent;
    send_with_copy(context, envelope, content, &result, &end, &second);
    if (result.outcome != DeliveryOutcome::kKeptInSpool) result.outcome = outcome_of(end);
  }
  delivery_options_free(&options);
  result.reply_code = g_smtp.last_code;
  snprintf(result.reply_text, sizeof result.reply_text, "%s", g_smtp.last_reply);
  if (usable && end == AttemptEnd::kSent) {
    log_event(LOG_DEBUG, "email sent! (1)");
  } else {
    log_event(LOG_ERROR, "Email not sent.");
  }
  return result;
}
