#include "smtp/dialogue.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/hostname.h"
#include "base/log.h"
#include "base/program.h"
#include "smtp/dialogue_tls.h"
#include "smtp/steps.h"
#include "smtp/transport.h"

namespace {

constexpr int kCommandAreaSize = 10000;
constexpr int kCommandLimit = 9998;  // a longer command is never sent
constexpr int kMaxRecipients = 3;    // To, BCC, CC

// One exchange on its way: the session, the hook of the message being
// sent, and the follow-up still to come (null once taken or for none).
struct Exchange {
  SmtpSession* session;
  SmtpAcceptedFn accepted;
  void* accepted_context;
  const SmtpMessage* follow_up;
  bool follow_up_tried;
  bool follow_up_sent;
};

// The server took the message: tell the caller at once.
bool note_accepted(Exchange* x, bool accepted) {
  if (accepted && x->accepted != nullptr) x->accepted(x->accepted_context);
  return accepted;
}

// Formats one command into `command`. A command longer than kCommandLimit
// is an error: a cut one would say something else on the wire.
bool format_command(char* command, const char* format, va_list args) QUILLON_PRINTF(2, 0);
bool format_command(char* command, const char* format, va_list args) {
  int length = vsnprintf(command, kCommandLimit + 1, format, args);
  if (length >= 0 && length <= kCommandLimit) return true;
  log_event(LOG_ERROR, "an SMTP command of %d characters is longer than %d: not sent.",
            length, kCommandLimit);
  return false;
}

// Sends one command line at once.
void send_command(SmtpSession* session, const char* format, ...) QUILLON_PRINTF(2, 3);
void send_command(SmtpSession* session, const char* format, ...) {
  char command[kCommandAreaSize];
  va_list args;
  va_start(args, format);
  bool fits = format_command(command, format, args);
  va_end(args);
  if (fits) sendr(session, command);
}

// Queues one command line for the next smtp_flush (a pipelined group).
void queue_command(SmtpSession* session, const char* format, ...) QUILLON_PRINTF(2, 3);
void queue_command(SmtpSession* session, const char* format, ...) {
  char command[kCommandAreaSize];
  va_list args;
  va_start(args, format);
  bool fits = format_command(command, format, args);
  va_end(args);
  if (fits) smtp_queue_command(session, command);
}

// Whether every envelope command fits its line; checked before connecting,
// so that no exchange starts that would have to send a cut command.
bool envelope_fits(const char* from, const char* const* recipients, int count) {
  const size_t room = static_cast<size_t>(kCommandLimit) - strlen("MAIL FROM:<>");
  bool fits = strlen(from) <= room;
  for (int i = 0; i < count; ++i) fits = fits && strlen(recipients[i]) <= room;
  if (!fits) {
    log_event(LOG_ERROR, "an envelope address does not fit an SMTP command line of %d "
              "characters; the mail was not sent.", kCommandLimit);
  }
  return fits;
}

const char* or_empty(const char* text) { return text != nullptr ? text : ""; }

const char* hello_name(const SmtpSession* session) {
  return session->options.hello_name != nullptr ? session->options.hello_name
                                                : kDefaultHelloName;
}

bool is_positive(int code) { return code >= 200 && code <= 299; }

// The content with the log's copies filled in where none were given.
SmtpContent content_of(const SmtpContent& message) {
  SmtpContent content;
  content.header = or_empty(message.header);
  content.body = or_empty(message.body);
  content.header_shown = message.header_shown != nullptr ? message.header_shown : content.header;
  content.body_shown = message.body_shown != nullptr ? message.body_shown : content.body;
  content.body_source = message.body_source;
  return content;
}

struct BodyStream {
  SmtpSession* session;
  bool line_start;
};

bool stream_block(void* context, const char* data, size_t size) {
  BodyStream* stream = static_cast<BodyStream*>(context);
  return smtp_queue_body_block(stream->session, data, size, &stream->line_start) == 0;
}

// Queues the header block, the empty line, the body and the end mark. Only
// sent after a 354, so form text never reaches a server that reads commands.
// The log shows the copies, in which submitted text cannot start a line.
// A body written from its source goes out in blocks as it comes; false
// when the source or a write failed (nothing more may be sent then).
bool queue_content(SmtpSession* session, const SmtpContent& content) {
  int sock = static_cast<int>(session->socket);
  const char* ending = session->options.line_ending;
  smtp_queue_dot_stuffed(session, content.header, content.header_shown);
  log_event(LOG_DEBUG, "SEND(%d): {%s\n}\n", sock, content.header_shown);
  smtp_queue(session, ending, static_cast<int>(strlen(ending)));
  if (content.body_source != nullptr) {
    log_event(LOG_DEBUG, "SEND(%d): {%s\n}\n", sock, content.body_shown);
    if (smtp_flush(session) != 0) return false;
    BodyStream stream = {session, true};
    if (!chunk_source_write(*content.body_source, stream_block, &stream) ||
        smtp_flush_body(session) != 0) {
      return false;
    }
  } else {
    smtp_queue_dot_stuffed(session, content.body, content.body_shown);
    log_event(LOG_DEBUG, "SEND(%d): {%s\n}\n", sock, content.body_shown);
  }
  smtp_queue(session, "\r\n.\r\n", 5);
  return true;
}

// Waits for the reply to the command just sent. Returns false once a read
// has run out of time: a server that stays silent would otherwise cost one
// more time limit for every command left.
bool replied(SmtpSession* session, int* code = nullptr) {
  (void)TCPdoread(session, code);
  return !session->timed_out;
}

// Says goodbye to a server that stopped answering, without waiting for it.
bool give_up(SmtpSession* session) {
  send_command(session, "QUIT");
  return false;
}

// QUIT's reply is read but not kept as the last reply: the reply that
// decided the outcome stays there for the caller's report.
void read_quit_reply(SmtpSession* session) {
  if (session->timed_out) return;
  int code = session->last_code;
  char reply[sizeof session->last_reply];
  memcpy(reply, session->last_reply, sizeof reply);
  (void)TCPdoread(session);
  session->last_code = code;
  memcpy(session->last_reply, reply, sizeof reply);
}

// After QUIT only its reply is read: the outcome is known by then, and a
// server that keeps the connection open must not hold the visitor.
bool say_goodbye(SmtpSession* session, bool accepted) {
  send_command(session, "QUIT");
  read_quit_reply(session);
  return accepted;
}

// The capability lines of an EHLO reply: "250-PIPELINING", "250 STARTTLS"...
void note_capability(const char* line, int length, void* context) {
  EhloFeatures* features = static_cast<EhloFeatures*>(context);
  if (length < 4) return;
  ehlo_feature_line(line + 4, length - 4, features);
}

// Greets with EHLO and notes what the reply offers.
bool greet_with_ehlo(SmtpSession* session, EhloFeatures* features) {
  send_command(session, "EHLO %s", hello_name(session));
  *features = EhloFeatures{};
  (void)smtp_read_reply(session, nullptr, note_capability, features);
  return !session->timed_out;
}

bool send_mail(Exchange* x, const char* from, const char* const* recipients, int count,
               const SmtpContent& content, bool pipelining);

// After the first message was accepted: the follow-up's transaction, which
// ends with QUIT as the first one would have.
void send_follow_up(Exchange* x, bool pipelining) {
  const SmtpMessage* next = x->follow_up;
  x->follow_up = nullptr;
  x->accepted = next->accepted;
  x->accepted_context = next->accepted_context;
  x->follow_up_tried = true;
  const char* to = or_empty(next->envelope.to);
  x->follow_up_sent = send_mail(x, or_empty(next->envelope.from), &to, 1,
                                content_of(next->content), pipelining);
}

// The envelope, one command at a time. Returns false when the server
// stopped answering (QUIT sent), with *read_ok and *code from DATA's reply.
bool send_envelope(SmtpSession* session, const char* from, const char* const* recipients,
                   int count, bool pipelining, bool* read_ok, int* code) {
  if (pipelining) {
    queue_command(session, "MAIL FROM:<%s>", from);
    for (int i = 0; i < count; ++i) queue_command(session, "RCPT TO:<%s>", recipients[i]);
    queue_command(session, "DATA");
    if (smtp_flush(session) != 0) wsock_error("TCPwrite failed in sendr(1)");
    for (int i = 0; i < count + 2 && *read_ok; ++i) *read_ok = TCPdoread(session, code) == 1;
    return true;
  }
  send_command(session, "MAIL FROM:<%s>", from);
  if (!replied(session)) return give_up(session);
  for (int i = 0; i < count; ++i) {
    send_command(session, "RCPT TO:<%s>", recipients[i]);
    if (!replied(session)) return give_up(session);
  }
  send_command(session, "DATA");
  *read_ok = TCPdoread(session, code) == 1;
  return true;
}

// The envelope, the content after 354 and QUIT, the commands together when
// `pipelining`, one at a time otherwise. With a follow-up pending, an
// accepted message is followed by its transaction instead of the QUIT.
bool send_mail(Exchange* x, const char* from, const char* const* recipients, int count,
               const SmtpContent& content, bool pipelining) {
  SmtpSession* session = x->session;
  int code = 0;
  bool read_ok = true;
  if (!send_envelope(session, from, recipients, count, pipelining, &read_ok, &code)) {
    return false;
  }
  if (session->timed_out) return give_up(session);
  if (!read_ok || code != 354) return say_goodbye(session, false);

  if (!queue_content(session, content)) {
    // Part of the message went out: without its end mark the server drops it.
    log_event(LOG_ERROR, "the message could not be written whole: the connection is closed "
                         "without its end, so the server keeps none of it.");
    smtp_close(session);
    return false;
  }
  if (!pipelining || x->follow_up != nullptr) {
    (void)smtp_flush(session);
    bool accepted = note_accepted(x, TCPdoread(session, &code) == 1 && is_positive(code));
    if (session->timed_out) return give_up(session);
    if (accepted && x->follow_up != nullptr) {
      send_follow_up(x, pipelining);
      return true;
    }
    return say_goodbye(session, accepted);
  }
  // The end mark and QUIT travel together; the replies come in order.
  queue_command(session, "QUIT");
  (void)smtp_flush(session);
  bool accepted = note_accepted(x, TCPdoread(session, &code) == 1 && is_positive(code));
  read_quit_reply(session);
  return accepted;
}

// Greets with HELO and waits for each reply before the next command.
bool helo_exchange(Exchange* x, const char* from, const char* const* recipients, int count,
                   const SmtpContent& content) {
  SmtpSession* session = x->session;
  TCPdoread_greeting(session);
  if (session->timed_out) return give_up(session);
  send_command(session, "HELO %s", hello_name(session));
  if (!replied(session)) return give_up(session);
  return send_mail(x, from, recipients, count, content, /*pipelining=*/false);
}

// Reads the greeting, greets with EHLO, and sends the envelope commands
// together when the server offers PIPELINING, one at a time otherwise.
bool ehlo_exchange(Exchange* x, const char* from, const char* const* recipients, int count,
                   const SmtpContent& content) {
  SmtpSession* session = x->session;
  if (!replied(session)) return give_up(session);  // the greeting
  EhloFeatures features;
  if (!greet_with_ehlo(session, &features)) return give_up(session);
  return send_mail(x, from, recipients, count, content, features.pipelining);
}

// STARTTLS offered, asked for, and TLS started on its 220, then EHLO again.
// Returns 1 when TLS stands, 0 after an error (QUIT said where the server
// still listens).
bool start_tls_after_ehlo(SmtpSession* session, const char* host, EhloFeatures* features) {
  if (!features->starttls) {
    log_event(LOG_ERROR,
              "SMTP email server (%s) does not offer STARTTLS; the mail was not sent.", host);
    return say_goodbye(session, false);
  }
  send_command(session, "STARTTLS");
  int code = 0;
  SmtpReplyText reply;
  if (!smtp_read_reply_text(session, &code, &reply)) {
    return session->timed_out ? give_up(session) : false;
  }
  if (code != 220) {
    log_event(LOG_ERROR, "SMTP email server (%s) refused STARTTLS: {%s}", host, reply.text);
    return say_goodbye(session, false);
  }
  // Whatever came with the 220 was sent before TLS protected anything:
  // none of it may be taken for a reply.
  if (session->pending_length > 0) {
    log_event(LOG_ERROR,
              "SMTP email server (%s) sent %d bytes after its STARTTLS reply; "
              "they were dropped.", host, session->pending_length);
  }
  smtp_discard_pending(session);
  if (!smtp_start_tls(session, host)) return false;
  return greet_with_ehlo(session, features) || give_up(session);
}

// The exchange over TLS: from the first byte, or after STARTTLS. Always
// EHLO, each reply awaited before the next command, AUTH when there are
// credentials, and nothing but the greeting and EHLO in plain text.
bool secure_exchange(Exchange* x, const char* host, const char* from,
                     const char* const* recipients, int count, const SmtpContent& content) {
  SmtpSession* session = x->session;
  bool starttls = session->options.security == kSmtpStarttls;
  if (!starttls && !smtp_start_tls(session, host)) return false;
  if (!replied(session)) {  // the greeting
    if (starttls) smtp_note_no_greeting(session, host);
    return give_up(session);
  }
  EhloFeatures features;
  if (!greet_with_ehlo(session, &features)) return give_up(session);
  if (starttls && !start_tls_after_ehlo(session, host, &features)) return false;
  if (session->options.user != nullptr) {
    int outcome = smtp_authenticate(session, host, features);  // 1, 0 refused, -1 no reply
    if (outcome < 0) return session->timed_out ? give_up(session) : false;
    if (outcome == 0) return say_goodbye(session, false);
  }
  return send_mail(x, from, recipients, count, content, /*pipelining=*/false);
}

// The exchange once connected, by the session's mode.
bool converse(Exchange* x, const char* server, const char* from, const char* const* recipients,
              int count, const SmtpContent& content) {
  SmtpSession* session = x->session;
  if (session->options.security != kSmtpPlain) {
    const char* host =
        session->options.tls_host != nullptr ? session->options.tls_host : server;
    bool sent = secure_exchange(x, host, from, recipients, count, content);
    if (session->tls != nullptr) {
      tls_close(session->tls);
      session->tls = nullptr;
    }
    return sent;
  }
  if (session->options.use_helo) return helo_exchange(x, from, recipients, count, content);
  return ehlo_exchange(x, from, recipients, count, content);
}

SmtpResult result_of(const SmtpSession* session, const Exchange& x, bool sent) {
  SmtpResult result = {};
  result.sent = sent;
  result.connected = session->socket != kNoSocket;
  result.timed_out = session->timed_out;
  result.reply_code = session->last_code;
  snprintf(result.reply_text, sizeof result.reply_text, "%s", session->last_reply);
  snprintf(result.failure, sizeof result.failure, "%s", session->failure);
  result.follow_up_tried = x.follow_up_tried;
  result.follow_up_sent = x.follow_up_sent;
  return result;
}

}  // namespace

int send_dot_stuffed(SmtpSession* session, const char* content) {
  smtp_queue_dot_stuffed(session, content);
  return smtp_flush(session);
}

SmtpResult smtp_dialogue(SmtpSession* session, const char* server_text,
                         const SmtpMessage& message, const SmtpMessage* follow_up) {
  if (!session->winsock_started) {
    TCPstartup();
    session->winsock_started = true;
  }
  smtp_close(session);
  Exchange x = {session, message.accepted, message.accepted_context, follow_up, false, false};
  if (server_text == nullptr) {
    // No smtp line in the settings: there is nobody to talk to.
    log_event(LOG_ERROR, "SMTP email server (%s) did not respond.\n", "");
    return result_of(session, x, false);
  }
  int port = 0;
  char* server = smtp_split_server(server_text, session->options.security, &port);
  const SmtpEnvelope& envelope = message.envelope;
  const char* recipients[kMaxRecipients];
  int count = 0;
  recipients[count++] = or_empty(envelope.to);
  if (envelope.bcc != nullptr) recipients[count++] = envelope.bcc;
  if (envelope.cc != nullptr) recipients[count++] = envelope.cc;
  const char* from = or_empty(envelope.from);
  bool sent = false;
  if (envelope_fits(from, recipients, count)) {
    session->socket = TCPconnect(session, server, port);
    if (session->socket == kNoSocket) {
      log_event(LOG_ERROR, "SMTP email server (%s) did not respond.\n", server);
    } else {
      sent = converse(&x, server, from, recipients, count, content_of(message.content));
    }
  }
  free(server);
  return result_of(session, x, sent);
}
