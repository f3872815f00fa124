// The send of one message, with its copy in the spool.
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
  int err = spool_ensure_folders(store, &which);
  // A full queue or disk: the message goes straight to the server.
  if (err == 0 && !spool_has_room(store, length, max_mb)) {
    free(data);
    return false;
  }
  if (err == 0) err = spool_keep(store, base, data, length, queued, &step, &where);
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

// The dialogue with the message kept in the spool: `result` tells whether
// it was kept and what became of it.
void send_with_copy(const DeliveryContext& context, const SmtpEnvelope& envelope,
                    const SmtpContent& content, DeliveryResult* result, AttemptEnd* end) {
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
  *end = attempt_dialogue(&attempt, settings.smtp, envelope, content);
  if (attempt.store != nullptr && attempt.delivered) spool_pause(store, "spool-sent");
  if (attempt.store != nullptr && !attempt.delivered) {
    note_tried(store, queued, base);
    result->outcome = DeliveryOutcome::kKeptInSpool;
    snprintf(result->spool_name, sizeof result->spool_name, "%s", base);
  }
  free(queued);
  spool_store_close(&store);
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
                               const SmtpContent& content) {
  const Settings& settings = *context.settings;
  DeliveryResult result = {};
  result.recipients = 1 + (envelope.cc != nullptr ? 1 : 0) + (envelope.bcc != nullptr ? 1 : 0);
  log_event(LOG_DEBUG, "about to send email to smtp server (%s) from: (%s) to: (%s)",
            or_null(settings.smtp), envelope.from, envelope.to);
  DeliveryOptions options;
  bool usable = delivery_options(settings, &options);
  AttemptEnd end = AttemptEnd::kRefused;
  result.outcome = DeliveryOutcome::kNotConfigured;
  if (usable && settings.spool_folder == nullptr) {
    smtp_set_options(options.smtp);
    Attempt attempt = {nullptr, nullptr, nullptr, false, false};
    end = attempt_dialogue(&attempt, settings.smtp, envelope, content);
    result.outcome = outcome_of(end);
  } else if (usable) {
    smtp_set_options(options.smtp);
    result.outcome = DeliveryOutcome::kSent;
    send_with_copy(context, envelope, content, &result, &end);
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
