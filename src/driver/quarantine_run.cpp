#include "driver/quarantine_run.h"

#include <cerrno>
#include <cstdio>

#include "base/log.h"
#include "base/program.h"
#include "compose/spam_tag.h"
#include "deliver/quarantine.h"
#include "driver/autoreply_run.h"

bool verdict_keeps(const Verdict& verdict) {
  return verdict.kind == VerdictKind::kQuarantined ||
         (verdict.kind == VerdictKind::kRefused && verdict.keep);
}

bool quarantine_submission(const Settings& settings, const char* id, const Envelope& envelope,
                           const Message& message, const Verdict& verdict) {
  if (settings.spool_folder == nullptr) {
    log_event(LOG_ERROR,
              "quarantine: no spool_folder to keep the message for review in; it is mailed with "
              "the subject tag and the spam headers instead.");
    return false;
  }
  SpoolStore store;
  spool_store_open(settings.spool_folder, g_program.ini_path, settings.spool_keep_sent,
                   settings.smtp_timeout, nullptr, &store);
  char score[24];
  snprintf(score, sizeof score, "%.2f", verdict.score);
  SpoolVerdict note = {verdict.kind == VerdictKind::kQuarantined ? "quarantined" : "refused",
                       verdict.mark != nullptr ? verdict.mark : "spam", verdict.reasons,
                       verdict.has_score ? score : nullptr, spool_now_seconds()};
  SubmittedMessage kept = submitted_message(envelope, message);
  // The files are kept with it (they are written into the body in blocks
  // when it is sent; here it is written whole).
  TextBuffer* body = message.file_count > 0 ? message_body_text(message) : nullptr;
  if (body != nullptr) kept.body = body->data;
  int err = message.file_count > 0 && body == nullptr
                ? EIO
                : quarantine_keep(store, id, kept, settings_line_ending(settings),
                                  settings.spool_max_mb, note);
  if (body != nullptr) text_buffer_free(body);
  if (err == 0) {
    log_event(LOG_DEBUG, "quarantine: message kept as {%s/%s.txt}.", store.quarantine, id);
  } else {
    log_event(LOG_ERROR,
              "quarantine: the message could not be kept; it is mailed with the subject tag and "
              "the spam headers instead.");
  }
  spool_store_close(&store);
  return err == 0;
}

void quarantine_tag(const Settings& settings, Message* message, const Verdict& verdict) {
  char score[24];
  snprintf(score, sizeof score, "%.2f", verdict.score);
  message_tag_spam(message, settings_line_ending(settings), spam_subject_tag(settings),
                   verdict.has_score ? score : nullptr, verdict.reasons);
}
