#pragma once
// The delivery layer: takes a finished submission to its destinations,
// with a copy in the spool when one is set, and sends the spool's queue
// again (-resend). Today the one destination is the mail (through
// src/smtp); a destination's result is its own, so that others (an HTTP
// call, a record) can stand beside it with their own outcome and retry.
// Below compose, above smtp and http: it may use src/smtp, src/http (the
// webhooks, deliver/webhook.h), src/config, src/base and src/platform,
// never compose or form. Nothing here hands SMTP types to its
// callers.
//
// Errors: bool for yes/no; a result per destination where the caller needs
// the reason. Every failure is logged where it is found; only running out
// of memory ends the process (fatal_reply).

#include <cstddef>

#include "base/chunks.h"
#include "config/settings.h"
#include "deliver/spool_file.h"

// Room for a server's reply line and for what failed, with the NUL.
constexpr int kDeliveryTextSize = 1001;

// What a scan of a spooled message found (-resend, for "scan: pending").
enum class ScanOutcome { kClean, kInfected, kUnscanned };

// Scans a whole spooled message (clamd reads its MIME parts); `detail`
// gets the signature's name when infected, why when unscanned.
using MessageScanFn = ScanOutcome (*)(const Settings& settings, const char* header_block,
                                      const char* line_ending, const char* body, char* detail,
                                      size_t detail_size);

// What -resend's judges made of a message kept for them ("judge: ...").
enum class JudgeOutcome { kPass, kRefused, kUnavailable };

// Judges a spooled message marked "judge: shared_state" against the shared
// state; `detail` gets the refusal's words ("rate-limited") or why it could
// not be judged.
using MessageJudgeFn = JudgeOutcome (*)(const Settings& settings, const SpoolMessage& message,
                                        char* detail, size_t detail_size);

// What a delivery needs besides the submission.
struct DeliveryContext {
  const Settings* settings;
  const char* ini_path;  // a relative spool_folder is taken from its folder
  const char* pause_at;  // a test's pause point, or null
  // The From address when a settings line gave it (never a visitor), for
  // the greeting name; null otherwise.
  const char* fixed_from = nullptr;
  // The submission's id, in the form of a spool NAME: it names the spool
  // copy instead of a fresh name (a malformed one is not used); null: none.
  const char* submission_id = nullptr;
  // os_monotonic_ms() by which the run must be done (0: none): the mail
  // exchange then waits at most until the earlier of it and smtp_deadline.
  long long deadline_ms = 0;
  // The files could not be scanned for viruses: the message is kept in
  // queue/ marked "scan: pending" and nothing is sent (no confirmation
  // either); without a spool it is not kept.
  bool hold_unscanned = false;
  // -resend scans a message marked "scan: pending" with it before sending;
  // null: such a message stays in the queue.
  MessageScanFn scan = nullptr;
  // The judges' shared state could not be used: the message is kept in
  // queue/ marked "judge: shared_state" with the client address and the
  // duplicate key's digest (null: none), as hold_unscanned keeps it.
  bool hold_for_state = false;
  const char* state_client = nullptr;
  const char* state_duplicate = nullptr;
  // -resend judges a message so marked with it before sending; null: such
  // a message stays in the queue.
  MessageJudgeFn judge = nullptr;
};

// One message of a submission: its envelope addresses (bare; cc and bcc
// may be null), its header block (its last line end included) and body,
// and the log's copies of them, in which submitted text is escaped (null:
// the log shows the blocks themselves).
struct SubmittedMessage {
  const char* from;
  const char* to;
  const char* cc;
  const char* bcc;
  const char* header;
  const char* body;
  const char* header_shown;
  const char* body_shown;
  // A body too large to hold (one carrying files): its bytes in blocks, in
  // place of `body`, to the server and the spool copy alike; null: none.
  const ChunkSource* body_source = nullptr;
};

// A finished submission: the message, and the confirmation to the visitor
// (null: none), which goes only to its `to`.
struct Submission {
  SubmittedMessage message;
  const SubmittedMessage* confirmation;
};

// How a destination's delivery ended.
enum class DeliveryOutcome {
  kSent,           // it took the submission
  kKeptInSpool,    // not delivered; waiting in the spool's queue
  kRefused,        // it was reached and did not take it
  kUnreachable,    // no connection, or no answer in time
  kNotConfigured,  // the delivery settings cannot be used
};

// The mail destination's result.
struct DeliveryResult {
  DeliveryOutcome outcome;
  int reply_code;                        // the server's last reply code, 0 for none
  char reply_text[kDeliveryTextSize];    // ...and its line, "" for none
  // What failed where no reply decided (a TLS handshake or certificate,
  // settings that cannot be used), "" for nothing.
  char failure[kDeliveryTextSize];
  int recipients;                        // envelope recipients offered
  char spool_name[kSpoolNameSize];       // NAME of the spool copy, "" without one
  char message_id[200];                  // set by the caller that knows it, "" here
};

// What became of the confirmation.
struct ConfirmationResult {
  bool tried;                       // it was offered to a server (or kept for one)
  DeliveryOutcome outcome;          // when tried: kSent, kKeptInSpool, kRefused, kUnreachable
  char spool_name[kSpoolNameSize];  // NAME of its spool copy, "" without one
};

// The results of one submission, one per destination.
struct DeliveryReport {
  DeliveryResult mail;
  ConfirmationResult confirmation;
};

// Delivers a submission to the mail: logs "about to send email...", hands
// the settings to the SMTP layer, and runs the exchange with the message
// kept in the spool when `spool_folder` is set: written to queue/ (through
// tmp/, flushed to disk) before the exchange, moved to sent/ (or deleted)
// the moment the server accepts it, left in queue/ otherwise, also when the
// delivery settings cannot be used, so that -resend sends it once they are
// mended. When the copy cannot be written, one error line is logged and the
// message is sent all the same. Logs "email sent! (1)" or "Email not sent.".
// The confirmation goes only once the message was accepted or kept in the
// spool: as a second transaction of the same session, or over a second
// connection when the first has ended; with the spool, it has a copy of its
// own, written before the exchange and removed again when the message went
// nowhere. Without one, nothing changes.
DeliveryReport deliver_submission(const DeliveryContext& context, const Submission& submission);

// ---- the -resend command ----

struct ResendTally {
  int sent;      // accepted by the server
  int kept;      // tried or not tried, back in or still in queue/
  int failed;    // moved to failed/
  int others;    // in the hands of another run
  int waiting;   // files in queue/ when the run ended
  long long queue_bytes;  // their size
};

// Called once per message with its file name and what happened to it
// ("sent", "kept in the queue (...)", ...).
using ResendReportFn = void (*)(const char* name, const char* outcome, void* context);

enum class ResendStatus {
  kDone,           // the queue was tried (the tally says how it went)
  kNotConfigured,  // the delivery settings cannot be used (logged)
  kSpoolUnusable,  // no spool folder, or it cannot be used (reason in `error`)
};

// Sends every message of queue/, oldest first, each over its own
// connection, after releasing claims of runs that ended or timed out. Stops
// trying at the first message the server could not be reached for. A file
// naming a destination other than the mail is left in queue/ with an error
// line.
// A message marked "scan: pending" moves to quarantine/ when -resend's
// scan finds malware in it, and stays in queue/ (its attempts not counted)
// while it cannot be scanned. One marked "judge: shared_state" is judged
// next: refused, it moves to failed/; not judged, it stays in queue/ (its
// attempts not counted); let through, the mark is taken off its file
// before it is sent, so that a failed send is not judged twice.
ResendStatus deliver_resend(const DeliveryContext& context, ResendReportFn report,
                            void* report_context, ResendTally* tally, char* error,
                            size_t error_size);
