#pragma once
// How a submission ended: the Outcome decided from where it stopped, and
// the log's outcome line ("outcome: ..."), one per run that reached the send
// decision or was stopped by a guard, written at LOG_OUTCOME so that it
// stays in the log when nothing else at the error level would. Part of the
// driver: may use every layer below it.

#include "base/text.h"
#include "base/outcome.h"
#include "compose/message.h"
#include "deliver/deliver.h"
#include "guard/pipeline.h"

// The suffixes a feature adds to the outcome line, each only while its
// feature is on, always in this order: "; id ID; form NAME; language TAG;
// spam ...; webhooks ...; not archived; shared state unavailable". With
// every feature off none appears, so a stored set-up keeps its lines byte
// for byte.
struct OutcomeSuffixes {
  bool show_id;           // a feature that uses the submission id is on
  const char* id;         // the id, shown with show_id
  const char* form;       // the form's name, null: none
  const char* language;   // the answer's language tag, null: none
  const char* spam;       // the spam verdict's words, null: none
  const char* webhooks;   // how the webhooks went, null: none
  bool not_archived;      // the archive is on and took no record
  bool shared_state_unavailable = false;  // shared_state failed this run
};

// Appends the suffixes that are on to `out`.
void append_outcome_suffixes(const OutcomeSuffixes& parts, TextBuffer* out);

// Where a submission stopped: a judge's verdict, or the message that could
// not be built (at most one of them is a stop); only when neither stopped
// it was it delivered and `result` is filled.
struct SubmissionEnd {
  Verdict verdict;
  AssembleStop last_check;
  DeliveryResult result;
  long long elapsed_ms;  // the delivery's time
  OutcomeSuffixes suffixes;
};

// The one place that turns where a submission stopped into its Outcome: a
// honeypot catch answers as sent does; a message kept in the spool is
// spooled whatever the server said.
Outcome submission_outcome(const SubmissionEnd& end);

// The outcome line's text (without the log's timestamp) into `out`: what
// happened, the recipients, the server's last reply (escaped as the log
// escapes outside text), the delivery's time, and the Message-ID and spool
// name where there are ones; then end.suffixes.
void outcome_line_text(const SubmissionEnd& end, TextBuffer* out);

// Writes the outcome line to the log.
void log_outcome(const SubmissionEnd& end);

// The outcome line of a body the decoders or the attachment rules refused,
// before any guard ran, with `suffixes`.
void log_refusal_outcome(Outcome outcome, const OutcomeSuffixes& suffixes);
