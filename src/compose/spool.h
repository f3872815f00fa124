#pragma once
// The spool: with `spool_folder` set, every message is on disk from before
// its dialogue until a server took it. The folder holds
//
//   tmp/     files being written; nothing reads them
//   queue/   messages waiting: NAME_new.txt while the run that wrote it is
//            still trying it, NAME_N.txt after N counted failed attempts
//   work/    one folder per -resend run, holding the message it is sending
//   sent/    NAME.txt for each message a server accepted (spool_keep_sent)
//   failed/  messages given up (kSpoolMaxAttempts failures, older than
//            kSpoolMaxAgeSeconds, or not readable as a spool file)
//
// NAME is "<UTC time>_<host>_<pid>_<random>", e.g.
// "20260107T134501.123456Z_web1_4242_9f86d081884c7d65": unique across
// processes and machines, and sorted by name the queue is oldest first.
//
// A spool file is text: envelope lines, an empty line, then the message
// exactly as the dialogue hands it over before dot-stuffing (header block,
// the empty line, body, every line ended by the e-mail line ending):
//
//   QUILLON spool 1
//   line-ending: CRLF          (or LF)
//   mail-from: form@example.com
//   rcpt-to: owner@example.com
//   rcpt-bcc: hidden@example.com    (only when there is one)
//   rcpt-cc: copy@example.com       (only when there is one)
//
//   To: ...
//
// The envelope lines end in LF (a CR before it is allowed).

#include <cstddef>

constexpr int kSpoolMaxAttempts = 20;
constexpr long long kSpoolMaxAgeSeconds = 7LL * 24 * 3600;
// A claim is released after the longer of this and 20 times smtp_timeout
// (or at once when the run holding it is known to have ended).
constexpr long long kSpoolMinClaimSeconds = 3600;

// ---- a CGI run ----

// smtp_dialogue with the message kept in the spool when `spool_folder` is
// set: written to queue/ (through tmp/, flushed to disk) before the
// dialogue, moved to sent/ (or deleted) the moment the server accepts it,
// left in queue/ otherwise. When the copy cannot be written, one error line
// is logged and the message is sent all the same. Returns what
// smtp_dialogue returned.
int spool_and_send(char* server, const char* from, const char* to,
                   const char* header_block, const char* body,
                   const char* header_shown, const char* body_shown);

// Whether this run's message is waiting in queue/ (kept, and not sent).
bool spool_waiting();

// ---- the -resend command ----

struct ResendTally {
  int sent;      // accepted by the server
  int kept;      // tried or not tried, back in or still in queue/
  int failed;    // moved to failed/
  int others;    // in the hands of another run
  int waiting;   // files in queue/ when the run ended
};

// Called once per message with its file name and what happened to it
// ("sent", "kept in the queue (...)", ...).
using ResendReportFn = void (*)(const char* name, const char* outcome, void* context);

// Sends every message of queue/, oldest first, each over its own
// connection, after releasing claims of runs that ended or timed out. Stops
// trying at the first message the server could not be reached for. Returns
// false, with the reason in `error` (`error_size` bytes), when the spool
// folder cannot be used at all.
bool spool_resend(ResendReportFn report, void* context, ResendTally* tally,
                  char* error, size_t error_size);

// ---- the file format (used by both, open for tests) ----

struct SpoolMessage {
  const char* line_ending;  // "\n" or "\r\n"
  char* from;               // heap copies; cc and bcc may be null
  char* to;
  char* cc;
  char* bcc;
  char* header_block;  // up to and including the line end of its last line
  char* body;
};

// The whole file for a message. Caller frees it.
char* spool_format(const SpoolMessage& message, size_t* length);

// Reads a whole file into `out`; false with a reason in *why when the
// file is not a spool file. spool_message_free releases what it filled.
bool spool_parse(const char* data, size_t length, SpoolMessage* out, const char** why);
void spool_message_free(SpoolMessage* message);

// The parts of a queue/ or work/ name. Returns false for any other name.
struct SpoolName {
  long long seconds;  // the time in the name, seconds since 1970 (UTC)
  char host[48];
  int pid;
  int attempts;       // -1 for "_new"; 0 for a work/ folder name
  size_t base_length; // the "<time>_<host>_<pid>_<random>" part
};
bool spool_parse_name(const char* name, bool folder, SpoolName* out);
