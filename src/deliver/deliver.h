#pragma once
// The delivery layer: takes a finished message down to the mail server,
// with its copy in the spool when one is set, and sends the spool's queue
// again (-resend). Below compose, above smtp: it may use src/smtp,
// src/config, src/base and src/platform, never compose or form.
//
// Errors: bool for yes/no; a DeliveryResult where the caller needs the
// reason. Every failure is logged where it is found; only running out of
// memory ends the process (fatal_reply).

#include <cstddef>

#include "base/hostname.h"
#include "config/settings.h"
#include "deliver/spool_file.h"
#include "smtp/dialogue.h"
#include "smtp/transport.h"

// The settings turned into SmtpOptions, with the texts they point into.
struct DeliveryOptions {
  SmtpOptions smtp;
  char* tls_host;       // heap: the server's name without the port, or null
  char* file_password;  // heap: the first line of smtp_password_file, or null
  char hello_name[kMaxHostName + 1];  // the EHLO/HELO name
};

// Fills `out` from the delivery settings: line ending, greeting, time
// limit, security mode, CA file, the name the server's certificate must
// carry, and the credentials (the password from smtp_password_file when
// set). Returns false after an error line when they cannot be used: a user
// without a password or the reverse, a user without TLS, a password file
// that cannot be read or whose first line is empty. Release with
// delivery_options_free (also after false).
bool delivery_options(const Settings& settings, DeliveryOptions* out);
void delivery_options_free(DeliveryOptions* options);

// How a submission's delivery ended.
enum class DeliveryOutcome {
  kSent,           // a server took it
  kKeptInSpool,    // not sent; waiting in the spool's queue
  kRefused,        // the server was reached and did not take it
  kUnreachable,    // no connection, or no answer in time
  kNotConfigured,  // the delivery settings cannot be used
};

struct DeliveryResult {
  DeliveryOutcome outcome;
  int reply_code;                        // the server's last reply code, 0 for none
  char reply_text[kReplyBufferSize + 1]; // ...and its line, "" for none
  int recipients;                        // envelope recipients offered
  char spool_name[kSpoolNameSize];       // NAME of the spool copy, "" without one
  char message_id[200];                  // set by the caller that knows it, "" here
};

// What a delivery needs besides the message.
struct DeliveryContext {
  const Settings* settings;
  const char* ini_path;  // a relative spool_folder is taken from its folder
  const char* pause_at;  // a test's pause point, or null
  // The From address when a settings line gave it (never a visitor), for
  // the greeting name; null otherwise.
  const char* fixed_from = nullptr;
};

// A second message of the same delivery (the confirmation to the
// visitor): its envelope (`envelope.to` its one recipient) and content, and
// what became of it.
struct DeliveryFollowUp {
  SmtpEnvelope envelope;
  SmtpContent content;
  bool tried;                       // filled: it was offered to a server
  DeliveryOutcome outcome;          // filled when tried: kSent, kKeptInSpool, kRefused, kUnreachable
  char spool_name[kSpoolNameSize];  // filled: NAME of its spool copy, "" without one
};

// Sends one message: logs "about to send email...", hands the settings to
// the SMTP layer, and runs the dialogue with the message kept in the spool
// when `spool_folder` is set: written to queue/ (through tmp/, flushed to
// disk) before the dialogue, moved to sent/ (or deleted) the moment the
// server accepts it, left in queue/ otherwise. When the copy cannot be
// written, one error line is logged and the message is sent all the same.
// Logs "email sent! (1)" or "Email not sent.".
// With `follow_up`, it goes only once the first message was accepted or
// kept in the spool: as a second transaction of the same session, or over
// a second connection when the first has ended; with the spool, it has a
// copy of its own, written before the dialogue and removed again when the
// first message went nowhere. Without one, nothing changes.
DeliveryResult deliver_message(const DeliveryContext& context, const SmtpEnvelope& envelope,
                               const SmtpContent& content,
                               DeliveryFollowUp* follow_up = nullptr);

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
// trying at the first message the server could not be reached for.
ResendStatus deliver_resend(const DeliveryContext& context, ResendReportFn report,
                            void* report_context, ResendTally* tally, char* error,
                            size_t error_size);
