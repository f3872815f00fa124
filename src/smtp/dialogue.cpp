#include "smtp/dialogue.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/hostname.h"
#include "base/log.h"
#include "base/program.h"
#include "smtp/dialogue_tls.h"
#include "smtp/transport.h"

namespace {

// The ports of plain SMTP, of submission with STARTTLS, and of submission
// over TLS from the first byte.
constexpr int kDefaultPort = 25;
constexpr int kSubmissionPort = 587;
constexpr int kSubmissionTlsPort = 465;
constexpr int kCommandAreaSize = 10000;
constexpr int kCommandLimit = 9998;  // a longer command is never sent
constexpr int kMaxRecipients = 3;    // To, BCC, CC

// The message to send after the first one in this session, or null.

// The server took the message: tell the caller at once.
bool note_accepted(bool accepted) {
  if (accepted && g_smtp.accepted != nullptr) g_smtp.accepted(g_smtp.accepted_context);
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
void send_command(const char* format, ...) QUILLON_PRINTF(1, 2);
void send_command(const char* format, ...) {
  char command[kCommandAreaSize];
  va_list args;
  va_start(args, format);
  bool fits = format_command(command, format, args);
  va_end(args);
  if (fits) sendr(command);
}

// Queues one command line for the next smtp_flush (a pipelined group).
void queue_command(const char* format, ...) QUILLON_PRINTF(1, 2);
void queue_command(const char* format, ...) {
  char command[kCommandAreaSize];
  va_list args;
  va_start(args, format);
  bool fits = format_command(command, format, args);
  va_end(args);
  if (fits) smtp_queue_command(command);
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

const char* hello_name() {
  return g_smtp.options.hello_name != nullptr ? g_smtp.options.hello_name : kDefaultHelloName;
}

bool is_positive(int code) { return code >= 200 && code <= 299; }

using Content = SmtpContent;

// Queues the header block, the empty line, the body and the end mark. Only
// sent after a 354, so form text never reaches a server that reads commands.
// The log shows the copies, in which submitted text cannot start a line.
void queue_content(const Content& content) {
  int sock = static_cast<int>(g_smtp.socket);
  smtp_queue_dot_stuffed(content.header, content.header_shown);
  log_event(LOG_DEBUG, "SEND(%d): {%s\n}\n", sock, content.header_shown);
  smtp_queue(g_smtp.line_ending, static_cast<int>(strlen(g_smtp.line_ending)));
  smtp_queue_dot_stuffed(content.body, content.body_shown);
  log_event(LOG_DEBUG, "SEND(%d): {%s\n}\n", sock, content.body_shown);
  smtp_queue("\r\n.\r\n", 5);
}

// Waits for the reply to the command just sent. Returns false once a read
// has run out of time: a server that stays silent would otherwise cost one
// more time limit for every command left.
bool replied(int* code = nullptr) {
  (void)TCPdoread(code);
  return !g_smtp.timed_out;
}

// Says goodbye to a server that stopped answering, without waiting for it.
bool give_up() {
  send_command("QUIT");
  return false;
}

// QUIT's reply is read but not kept as the last reply: the reply that
// decided the outcome stays there for the caller's report.
void read_quit_reply() {
  if (g_smtp.timed_out) return;
  int code = g_smtp.last_code;
  char reply[sizeof g_smtp.last_reply];
  memcpy(reply, g_smtp.last_reply, sizeof reply);
  (void)TCPdoread();
  g_smtp.last_code = code;
  memcpy(g_smtp.last_reply, reply, sizeof reply);
}

// After QUIT only its reply is read: the outcome is known by then, and a
// server that keeps the connection open must not hold the visitor.
bool say_goodbye(bool accepted) {
  send_command("QUIT");
  read_quit_reply();
  return accepted;
}

// The capability lines of an EHLO reply: "250-PIPELINING", "250 STARTTLS"...
void note_capability(const char* line, int length, void* context) {
  EhloFeatures* features = static_cast<EhloFeatures*>(context);
  if (length < 4) return;
  ehlo_feature_line(line + 4, length - 4, features);
}

// Greets with EHLO and notes what the reply offers.
bool greet_with_ehlo(EhloFeatures* features) {
  send_command("EHLO %s", hello_name());
  *features = EhloFeatures{};
  (void)smtp_read_reply(nullptr, note_capability, features);
  return !g_smtp.timed_out;
}

bool send_mail(const char* from, const char* const* recipients, int count,
              const Content& content, bool pipelining);

// After the first message was accepted: the follow-up's transaction, which
// ends with QUIT as the first one would have.
void send_follow_up(bool pipelining) {
  SmtpFollowUp* next = g_smtp.follow_up;
  g_smtp.follow_up = nullptr;
  smtp_on_accepted(next->accepted, next->accepted_context);
  next->tried = true;
  const char* to = or_empty(next->envelope.to);
  Content content = {or_empty(next->content.header), or_empty(next->content.body),
                     next->content.header_shown != nullptr ? next->content.header_shown
                                                           : or_empty(next->content.header),
                     next->content.body_shown != nullptr ? next->content.body_shown
                                                         : or_empty(next->content.body)};
  next->sent = send_mail(or_empty(next->envelope.from), &to, 1, content, pipelining);
}

// The envelope, the content after 354 and QUIT, the commands together when
// `pipelining`, one at a time otherwise. With a follow-up pending, an
// accepted message is followed by its transaction instead of the QUIT.
bool send_mail(const char* from, const char* const* recipients, int count,
              const Content& content, bool pipelining) {
  int code = 0;
  bool read_ok = true;
  if (pipelining) {
    queue_command("MAIL FROM:<%s>", from);
    for (int i = 0; i < count; ++i) queue_command("RCPT TO:<%s>", recipients[i]);
    queue_command("DATA");
    if (smtp_flush() != 0) wsock_error("TCPwrite failed in sendr(1)");
    for (int i = 0; i < count + 2 && read_ok; ++i) read_ok = TCPdoread(&code) == 1;
  } else {
    send_command("MAIL FROM:<%s>", from);
    if (!replied()) return give_up();
    for (int i = 0; i < count; ++i) {
      send_command("RCPT TO:<%s>", recipients[i]);
      if (!replied()) return give_up();
    }
    send_command("DATA");
    read_ok = TCPdoread(&code) == 1;
  }
  if (g_smtp.timed_out) return give_up();
  if (!read_ok || code != 354) return say_goodbye(false);

  queue_content(content);
  if (!pipelining) {
    (void)smtp_flush();
    bool accepted = note_accepted(TCPdoread(&code) == 1 && is_positive(code));
    if (g_smtp.timed_out) return give_up();
    if (accepted && g_smtp.follow_up != nullptr) {
      send_follow_up(pipelining);
      return true;
    }
    return say_goodbye(accepted);
  }
  if (g_smtp.follow_up != nullptr) {
    (void)smtp_flush();
    bool accepted = note_accepted(TCPdoread(&code) == 1 && is_positive(code));
    if (g_smtp.timed_out) return give_up();
    if (!accepted) return say_goodbye(false);
    send_follow_up(pipelining);
    return true;
  }
  // The end mark and QUIT travel together; the replies come in order.
  queue_command("QUIT");
  (void)smtp_flush();
  bool accepted = note_accepted(TCPdoread(&code) == 1 && is_positive(code));
  read_quit_reply();
  return accepted;
}

// Greets with HELO and waits for each reply before the next command.
bool helo_exchange(const char* from, const char* const* recipients, int count,
                  const Content& content) {
  TCPdoread_greeting();
  if (g_smtp.timed_out) return give_up();
  send_command("HELO %s", hello_name());
  if (!replied()) return give_up();
  return send_mail(from, recipients, count, content, /*pipelining=*/false);
}

// Reads the greeting, greets with EHLO, and sends the envelope commands
// together when the server offers PIPELINING, one at a time otherwise.
bool ehlo_exchange(const char* from, const char* const* recipients, int count,
                  const Content& content) {
  if (!replied()) return give_up();  // the greeting
  EhloFeatures features;
  if (!greet_with_ehlo(&features)) return give_up();
  return send_mail(from, recipients, count, content, features.pipelining);
}


// The exchange over TLS: from the first byte, or after STARTTLS. Always
// EHLO, each reply awaited before the next command, AUTH when there are
// credentials, and nothing but the greeting and EHLO in plain text.
bool secure_exchange(const char* host, const char* from, const char* const* recipients,
                    int count, const Content& content) {
  bool starttls = g_smtp.options.security == kSmtpStarttls;
  if (!starttls && !smtp_start_tls(host)) return false;
  if (!replied()) {  // the greeting
    if (starttls) smtp_note_no_greeting(host);
    return give_up();
  }
  EhloFeatures features;
  if (!greet_with_ehlo(&features)) return give_up();
  if (starttls) {
    if (!features.starttls) {
      log_event(LOG_ERROR,
                "SMTP email server (%s) does not offer STARTTLS; the mail was not sent.",
                host);
      return say_goodbye(false);
    }
    send_command("STARTTLS");
    int code = 0;
    SmtpReplyText reply;
    if (!smtp_read_reply_text(&code, &reply)) return g_smtp.timed_out ? give_up() : 0;
    if (code != 220) {
      log_event(LOG_ERROR, "SMTP email server (%s) refused STARTTLS: {%s}", host,
                reply.text);
      return say_goodbye(false);
    }
    // Whatever came with the 220 was sent before TLS protected anything:
    // none of it may be taken for a reply.
    if (g_smtp.pending_length > 0) {
      log_event(LOG_ERROR,
                "SMTP email server (%s) sent %d bytes after its STARTTLS reply; "
                "they were dropped.", host, g_smtp.pending_length);
    }
    smtp_discard_pending();
    if (!smtp_start_tls(host)) return false;
    if (!greet_with_ehlo(&features)) return give_up();
  }
  if (g_smtp.options.user != nullptr) {
    int outcome = smtp_authenticate(host, features);  // 1, 0 refused, -1 no reply
    if (outcome < 0) return g_smtp.timed_out ? give_up() : 0;
    if (outcome == 0) return say_goodbye(false);
  }
  return send_mail(from, recipients, count, content, /*pipelining=*/false);
}

}  // namespace

int smtp_port_from_text(const char* text) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  // Unsigned arithmetic wraps modulo 2^32, which keeps the low 16 bits of
  // any number of digits exact.
  unsigned value = 0;
  while (*p >= '0' && *p <= '9') {
    value = value * 10u + static_cast<unsigned>(*p - '0');
    ++p;
  }
  if (negative) value = 0u - value;
  return static_cast<int>(value & 0xffffu);
}

void smtp_set_follow_up(SmtpFollowUp* follow_up) { g_smtp.follow_up = follow_up; }

char* smtp_split_server(const char* text, int* port) {
  char* server = copy_text_or_die(text, kOutOfMemory);
  SmtpSecurity security = g_smtp.options.security;
  *port = security == kSmtpStarttls ? kSubmissionPort
          : security == kSmtpTls    ? kSubmissionTlsPort
                                    : kDefaultPort;
  char* colon = strchr(server, ':');
  if (colon != nullptr) {
    *colon = '\0';
    *port = smtp_port_from_text(colon + 1);
  }
  return server;
}


void smtp_on_accepted(SmtpAcceptedFn accepted, void* context) {
  g_smtp.accepted = accepted;
  g_smtp.accepted_context = context;
}

int send_dot_stuffed(const char* content) {
  smtp_queue_dot_stuffed(content);
  return smtp_flush();
}

void ehlo_feature_line(const char* text, int length, EhloFeatures* features) {
  // A keyword, then blank-separated parameters; keywords are compared
  // without regard to case.
  int word = 0;
  while (word < length && text[word] != ' ') ++word;
  auto is = [&](const char* keyword) {
    return static_cast<size_t>(word) == strlen(keyword) &&
           ascii_equal_n(text, keyword, static_cast<size_t>(word));
  };
  if (is("PIPELINING")) features->pipelining = true;
  if (is("STARTTLS")) features->starttls = true;
  if (is("AUTH")) {
    for (int at = word; at < length;) {
      while (at < length && text[at] == ' ') ++at;
      int end = at;
      while (end < length && text[end] != ' ') ++end;
      size_t n = static_cast<size_t>(end - at);
      if (n == 5 && ascii_equal_n(text + at, "PLAIN", 5)) features->auth_plain = true;
      if (n == 5 && ascii_equal_n(text + at, "LOGIN", 5)) features->auth_login = true;
      at = end;
    }
  }
}

bool smtp_dialogue(const char* server_text, const SmtpEnvelope& envelope,
                   const SmtpContent& message) {
  if (!g_smtp.winsock_started) {
    TCPstartup();
    g_smtp.winsock_started = true;
  }
  g_smtp.last_code = 0;
  g_smtp.last_reply[0] = '\0';
  if (server_text == nullptr) {
    // No smtp line in the settings: there is nobody to talk to.
    log_event(LOG_ERROR, "SMTP email server (%s) did not respond.\n", "");
    g_smtp.follow_up = nullptr;
    return false;
  }
  int port = 0;
  char* server = smtp_split_server(server_text, &port);
  SmtpSecurity security = g_smtp.options.security;
  const char* recipients[kMaxRecipients];
  int count = 0;
  recipients[count++] = or_empty(envelope.to);
  if (envelope.bcc != nullptr) recipients[count++] = envelope.bcc;
  if (envelope.cc != nullptr) recipients[count++] = envelope.cc;
  const char* from = or_empty(envelope.from);
  if (!envelope_fits(from, recipients, count)) {
    free(server);
    return false;
  }

  g_smtp.socket = TCPconnect(server, port);
  if (g_smtp.socket == kNoSocket) {
    log_event(LOG_ERROR, "SMTP email server (%s) did not respond.\n", server);
    free(server);
    g_smtp.follow_up = nullptr;
    return false;
  }

  Content content;
  content.header = or_empty(message.header);
  content.body = or_empty(message.body);
  content.header_shown = message.header_shown != nullptr ? message.header_shown : content.header;
  content.body_shown = message.body_shown != nullptr ? message.body_shown : content.body;
  bool sent = false;
  if (security != kSmtpPlain) {
    const char* host = g_smtp.options.tls_host != nullptr ? g_smtp.options.tls_host : server;
    sent = secure_exchange(host, from, recipients, count, content);
    if (g_smtp.tls != nullptr) {
      tls_close(g_smtp.tls);
      g_smtp.tls = nullptr;
    }
  } else if (g_smtp.use_helo) {
    sent = helo_exchange(from, recipients, count, content);
  } else {
    sent = ehlo_exchange(from, recipients, count, content);
  }
  free(server);
  // A follow-up the exchange did not come to is not kept for another one.
  g_smtp.follow_up = nullptr;
  return sent;
}
