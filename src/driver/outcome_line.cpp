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

void outcome_line_text(const SubmissionEnd& end, TextBuffer* out) {
  text_buffer_replace(out, "outcome: ");
  const char* stop = stop_text(end);
  if (stop != nullptr) {
    text_buffer_append(out, "%s", stop);
    return;
  }
  append_delivery(end.result, end.elapsed_ms, out);
}

void log_outcome(const SubmissionEnd& end) {
  TextBuffer* line = text_buffer_new("");
  outcome_line_text(end, line);
  log_event(LOG_OUTCOME, "%s", line->data);
  text_buffer_free(line);
}

void log_refusal_outcome(Outcome outcome) {
  log_event(LOG_OUTCOME, "outcome: not sent, the form was refused (%s)",
            outcome_info(outcome).word);
}

void find_message_id(const char* header, char* out, size_t size) {
  static const char kName[] = "Message-ID: <";
  out[0] = '\0';
  for (const char* line = header; line != nullptr && *line != '\0';) {
    if (strncmp(line, kName, sizeof kName - 1) == 0) {
      const char* id = line + sizeof kName - 1;
      size_t length = strcspn(id, ">\r\n");
      if (id[length] == '>' && length < size) {
        memcpy(out, id, length);
        out[length] = '\0';
      }
      return;
    }
    line = strchr(line, '\n');
    if (line != nullptr) ++line;
  }
}
