#pragma once
// Byte and line transport over one SMTP connection, with every step traced
// in the log and every socket failure logged in words. All bytes to and from
// the server pass through one send and one receive path, which a TLS session
// takes over once it is started on the connection. The connection lives in
// an SmtpSession value that the caller owns. src/smtp may use src/base and
// src/platform only; it reads no settings.
//
// Errors in src/smtp: every failure is logged where it is found; the
// functions named after the classic exchange (TCPwrite, TCPdoread) keep
// their counts and 1/0, the others return bool, or 0 / -1 for a write;
// what an exchange came to is returned in its result (dialogue.h). Memory
// that runs out ends the run (fatal_reply).

#include <cstddef>

#include "base/text.h"
#include "smtp/wsock.h"
#include "platform/net.h"
#include "platform/tls.h"

constexpr int kReplyBufferSize = 1000;
constexpr int kDefaultSmtpTimeoutSeconds = 60;

// How the connection is protected.
enum SmtpSecurity {
  kSmtpPlain,     // no TLS: the classic exchange
  kSmtpStarttls,  // EHLO, STARTTLS, then TLS for everything after it
  kSmtpTls,       // TLS from the first byte
};

// What the caller decides about the exchange; the dialogue reads no settings.
struct SmtpOptions {
  const char* line_ending;  // ends every command line: "\n" or "\r\n"
  bool use_helo;            // HELO and one reply at a time; else EHLO
  int timeout_seconds;      // bound on connecting and on every send and recv
  // With TLS: always EHLO, one command at a time, CR LF as the caller's
  // line_ending, and the server's certificate checked.
  SmtpSecurity security;
  const char* user;      // AUTH with these after the (second) EHLO; null: no AUTH
  const char* password;
  const char* ca_file;   // PEM roots trusted besides the system's; may be null
  const char* tls_host;  // the name the certificate must carry
  const char* hello_name;  // given in EHLO and HELO; null: kDefaultHelloName
  // smtp_deadline: bound on the whole exchange, connect to QUIT, in seconds
  // (0: none). Every step then waits at most min(timeout_seconds, time left).
  int deadline_seconds;
  // The run's own deadline, os_monotonic_ms() (0: none): the exchange then
  // ends at the earlier of the two.
  long long end_by_ms;
};

// Called the moment the server accepts the message data.
using SmtpAcceptedFn = void (*)(void* context);

// One SMTP session: the caller's options, the connection and what was read
// and queued on it. The delivery layer makes one per delivery (or -resend
// run) and hands it by pointer to every function below; nothing here is
// process-wide. Set up with smtp_session_init, ended with smtp_session_end.
struct SmtpSession {
  // Held once: the line ending, the greeting and the time limit are read
  // from here (smtp_session_init fills in their defaults).
  SmtpOptions options;
  OsSocket socket;        // kNoSocket when none
  TlsSession* tls;        // null until TLS took over the connection
  bool winsock_started;
  // Bytes received after the last line end of a read, kept for the next read.
  char pending[kReplyBufferSize + 1];
  int pending_length;
  // A read ran out of time: the server's replies can no longer be matched
  // to the commands, so the dialogue stops waiting for more.
  bool timed_out;
  // Bytes queued for the next send: a command with its line ending, a
  // pipelined group of commands, or the message with its end mark go out
  // in one send, so the server never waits on a fragment.
  TextBuffer* out;
  // The log's copy of the queue: the same bytes, except where content queued
  // with a copy of its own (smtp_queue_dot_stuffed) shows that copy.
  TextBuffer* out_shown;
  // The final line of the last reply read (without its line end) and its
  // code; 0 and "" before the first.
  int last_code;
  char last_reply[kReplyBufferSize + 1];
  // What failed on our side of the connection (a TLS handshake or
  // certificate check), "" for nothing: the reply above did not decide.
  char failure[kReplyBufferSize + 1];
  long long deadline_ms;  // os_monotonic_ms() when the exchange must end; 0: none
  long long deadline_noted;  // the deadline_ms whose passing was logged
};

// A session with `options` (a null line ending is "\n", a time limit of 0
// or less kDefaultSmtpTimeoutSeconds) and no connection yet.
void smtp_session_init(SmtpSession* session, const SmtpOptions& options);

// Closes the connection and releases the queues; the session may be
// initialised again.
void smtp_session_end(SmtpSession* session);

// Starts the clock of options.deadline_seconds for the exchange beginning
// now (TCPconnect does so itself); options.end_by_ms bounds it as well.
void smtp_start_deadline(SmtpSession* session);

// The seconds the next step may wait: min(timeout_seconds, the seconds
// left before the deadline, rounded); 0 when under half a second is left.
int smtp_step_seconds(const SmtpSession* session);

// Starts the socket library (version 1.1), logging a failure or wrong version.
void TCPstartup();

// Lower-cases `host` in place and connects to it. Returns the socket or -1.
OsSocket TCPconnect(SmtpSession* session, char* host, int port);

// Sends `size` bytes of `data` on the plain socket `sock`, pausing 100 ms
// between partial sends, each traced as "SENT(...)", each waiting as the
// session allows. Returns `size`, 0 when `size` is 0, -1 on failure or when
// `sock` is -1.
int TCPwrite(SmtpSession* session, OsSocket sock, const char* data, int size);

// Queues bytes, or one command line traced as "SEND(...)" with the line
// ending added, for the next smtp_flush.
void smtp_queue(SmtpSession* session, const char* data, int size);
void smtp_queue_command(SmtpSession* session, const char* line);

// Queues `content` with a "." added in front of every line that begins with
// "." (a line begins at the start and after every LF). The send's trace in
// the log shows `shown` in its place: a copy of `content` with some bytes
// escaped (log_escape_append), stuffed alike; null shows `content`.
void smtp_queue_dot_stuffed(SmtpSession* session, const char* content,
                            const char* shown = nullptr);

// Queues one block of a body that comes in blocks (chunks.h), dot-stuffed
// as above, with *line_start telling whether the block begins a line (true
// for the first block) and set for the next; once the queue holds
// kSmtpBodyBlock bytes it is sent, its SENT trace showing only its size
// (the blocks are the files' base64 lines, which the log never shows).
// Returns 0, or -1 when a write failed (logged).
constexpr int kSmtpBodyBlock = 65536;
int smtp_queue_body_block(SmtpSession* session, const char* data, size_t size, bool* line_start);

// Sends what smtp_queue_body_block left in the queue, traced by its size
// alike. Returns 0 or -1.
int smtp_flush_body(SmtpSession* session);

// Sends what was queued on the connection (through TLS once started) and
// empties the queue. Returns 0, or -1 when a write failed (logged).
int smtp_flush(SmtpSession* session);

// Sends `line` and the line ending in one write.
void sendr(SmtpSession* session, const char* line);

// Like sendr, but the log shows `shown` in place of the line: for commands
// that carry credentials. The queue is wiped once they are sent.
void sendr_masked(SmtpSession* session, const char* line, const char* shown);

// Reads the server greeting to its final line (traced as "RECV(%d): {...}").
void TCPdoread_greeting(SmtpSession* session);

// Reads one reply to its final line. Returns 1 when a final line was read,
// 0 when a receive failed. A line longer than the reply buffer is read to
// its end and judged by its start (its code); the log shows that start. When
// `code` is not null it receives the reply's three-digit code (0 when
// unreadable). Lines after the final one stay pending for the next read.
int TCPdoread(SmtpSession* session, int* code = nullptr);

// TCPdoread that also hands each line of the reply (without its line end)
// to `each_line`, e.g. for the capability lines of an EHLO reply.
using ReplyLineFn = void (*)(const char* line, int length, void* context);
int smtp_read_reply(SmtpSession* session, int* code, ReplyLineFn each_line, void* context);

// Drops bytes that were received but not yet read as a reply: nothing the
// server sent before TLS started may be taken for a reply after it.
void smtp_discard_pending(SmtpSession* session);

// Closes the connection and forgets what was pending or queued on it; the
// session keeps its options for another exchange.
void smtp_close(SmtpSession* session);
