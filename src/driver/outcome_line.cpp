#include "driver/outcome_line.h"

#include <cstring>

#include "base/log.h"

static Outcome delivery_outcome(DeliveryOutcome outcome) {
  switch (outcome) {
    case DeliveryOutcome::kSent: return Outcome::kSent;
    case DeliveryOutcome::kKeptInSpool: return Outcome::kSpooled;
    case DeliveryOutcome::kRefused: return Outcome::kServerRefused;
    case DeliveryOutcome::kUnreachable: return Outcome::kServerUnreachable;
    case DeliveryOutcome::kNotConfigured: break;
  }
  return Outcome::kNotConfigured;
}

Outcome submission_outcome(const SubmissionEnd& end) {
  if (end.verdict.kind != VerdictKind::kPass) return end.verdict.outcome;
  switch (end.last_check) {
    case AssembleStop::kNotConfigured: return Outcome::kNotConfigured;
    case AssembleStop::kAddressTooLong: return Outcome::kMalformed;
    case AssembleStop::kNone: break;
  }
  return delivery_outcome(end.result.outcome);
}

// The stops before the delivery, in words.
static const char* stop_text(const SubmissionEnd& end) {
  if (end.verdict.kind != VerdictKind::kPass) return end.verdict.line;
  switch (end.last_check) {
    case AssembleStop::kNotConfigured: return "not sent, no From, To or Subject";
    case AssembleStop::kAddressTooLong: return "refused, an address is too long";
    case AssembleStop::kNone: break;
  }
  return nullptr;
}

static void append_delivery(const DeliveryResult& result, long long elapsed_ms,
                            TextBuffer* out) {
  switch (result.outcome) {
    case DeliveryOutcome::kSent:
      text_buffer_append(out, "sent, %d recipient%s", result.recipients,
                         result.recipients == 1 ? "" : "s");
      break;
    case DeliveryOutcome::kKeptInSpool: text_buffer_append(out, "kept in the spool"); break;
    case DeliveryOutcome::kRefused:
    case DeliveryOutcome::kUnreachable: text_buffer_append(out, "not sent"); break;
    case DeliveryOutcome::kNotConfigured:
      text_buffer_append(out, "not sent, the delivery settings cannot be used");
      return;
  }
  // What failed on this side says more than the reply before it; the
  // reply's last line holds its code.
  if (result.failure[0] != '\0') {
    text_buffer_append(out, ", ");
    log_escape_append(out, result.failure, strlen(result.failure));
  } else if (result.reply_text[0] != '\0') {
    text_buffer_append(out, ", server said ");
    log_escape_append(out, result.reply_text, strlen(result.reply_text));
  } else if (result.reply_code != 0) {
    text_buffer_append(out, ", server said %d", result.reply_code);
  } else {
    text_buffer_append(out, ", no answer from the server");
  }
  text_buffer_append(out, ", %lld.%02lld s", elapsed_ms / 1000, elapsed_ms % 1000 / 10);
  if (result.message_id[0] != '\0') text_buffer_append(out, ", Message-ID <%s>", result.message_id);
  if (result.spool_name[0] != '\0') text_buffer_append(out, ", spool %s", result.spool_name);
}

void append_outcome_suffixes(const OutcomeSuffixes& parts, TextBuffer* out) {
  const struct {
    const char* label;
    const char* value;
  } texts[] = {
      {"id", parts.show_id ? parts.id : nullptr},
      {"form", parts.form},
      {"language", parts.language},
      {"spam", parts.spam},
      {"webhooks", parts.webhooks},
  };
  for (const auto& text : texts) {
    if (text.value == nullptr) continue;
    text_buffer_append(out, "; %s ", text.label);
    log_escape_append(out, text.value, strlen(text.value));
  }
  if (parts.not_archived) text_buffer_append(out, "; not archived");
  if (parts.shared_state_unavailable) text_buffer_append(out, "; shared state unavailable");
}

void outcome_line_text(const SubmissionEnd& end, TextBuffer* out) {
  text_buffer_replace(out, "outcome: ");
  const char* stop = stop_text(end);
  if (stop != nullptr) {
    text_buffer_append(out, "%s", stop);
    // A verdict about what the message says names why ("quarantined as
    // spam: 7 links, limit 2"); its reasons may quote submitted text.
    const Verdict& verdict = end.verdict;
    if (verdict.mark != nullptr && verdict.reasons[0] != '\0') {
      text_buffer_append(out, ": ");
      log_escape_append(out, verdict.reasons, strlen(verdict.reasons));
    }
    // A message held back for a judge of -resend waits in the queue.
    if (end.verdict.kind == VerdictKind::kDeferred && end.result.spool_name[0] != '\0') {
      text_buffer_append(out, ", spool %s", end.result.spool_name);
    }
  } else {
    append_delivery(end.result, end.elapsed_ms, out);
  }
  append_outcome_suffixes(end.suffixes, out);
}

void log_outcome(const SubmissionEnd& end) {
  TextBuffer* line = text_buffer_new("");
  outcome_line_text(end, line);
  log_event(LOG_OUTCOME, "%s", line->data);
  text_buffer_free(line);
}

void log_refusal_outcome(Outcome outcome, const OutcomeSuffixes& suffixes) {
  TextBuffer* line = text_buffer_new("");
  text_buffer_append(line, "outcome: not sent, the form was refused (%s)",
                     outcome_info(outcome).word);
  append_outcome_suffixes(suffixes, line);
  log_event(LOG_OUTCOME, "%s", line->data);
  text_buffer_free(line);
}
