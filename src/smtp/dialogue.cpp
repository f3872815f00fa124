#include "smtp/dialogue.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "base/program.h"
#include "smtp/transport.h"

Envelope g_envelope;

namespace {

constexpr int kDefaultPort = 25;
constexpr int kCommandAreaSize = 10000;
constexpr int kCommandLimit = 9998;  // longer commands are cut
constexpr int kMaxRecipients = 3;    // To, BCC, CC

char g_command[kCommandAreaSize];

const char* format_command(const char* format, va_list args) QUILLON_PRINTF(1, 0);

const char* format_command(const char* format, va_list args) {
  vsnprintf(g_command, kCommandLimit + 1, format, args);
  return g_command;
}

// Sends one command line at once.
void send_command(const char* format, ...) QUILLON_PRINTF(1, 2);
void send_command(const char* format, ...) {
  va_list args;
  va_start(args, format);
  sendr(format_command(format, args));
  va_end(args);
}

// Queues one command line for the next smtp_flush (a pipelined group).
void queue_command(const char* format, ...) QUILLON_PRINTF(1, 2);
void queue_command(const char* format, ...) {
  va_list args;
  va_start(args, format);
  smtp_queue_command(format_command(format, args));
  va_end(args);
}

const char* or_empty(const char* text) { return text != nullptr ? text : ""; }

bool is_positive(int code) { return code >= 200 && code <= 299; }

// The message: the two blocks and the log's copies of them.
struct Content {
  const char* header;
  const char* body;
  const char* header_shown;
  const char* body_shown;
};

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
int give_up() {
  send_command("QUIT");
  return 0;
}

// After QUIT only its reply is read: the outcome is known by then, and a
// server that keeps the connection open must not hold the visitor.
int say_goodbye(bool accepted) {
  send_command("QUIT");
  if (!g_smtp.timed_out) (void)TCPdoread();
  return accepted ? 1 : 0;
}

// Waits for each reply before the next command.
int helo_exchange(const char* from, const char* const* recipients, int count,
                  const Content& content) {
  TCPdoread_greeting();
  if (g_smtp.timed_out) return give_up();
  send_command("HELO QUILLON");
  if (!replied()) return give_up();
  send_command("MAIL FROM:<%s>", from);
  if (!replied()) return give_up();
  for (int i = 0; i < count; ++i) {
    send_command("RCPT TO:<%s>", recipients[i]);
    if (!replied()) return give_up();
  }
  send_command("DATA");
  int code = 0;
  bool accepted = false;
  if (TCPdoread(&code) == 1 && code == 354) {
    queue_content(content);
    (void)smtp_flush();  // a failed write is logged already
    accepted = TCPdoread(&code) == 1 && is_positive(code);
  }
  if (g_smtp.timed_out) return give_up();
  return say_goodbye(accepted);
}

// The capability lines of an EHLO reply: "250-PIPELINING", "250 STARTTLS"...
void note_capability(const char* line, int length, void* context) {
  EhloFeatures* features = static_cast<EhloFeatures*>(context);
  if (length < 4) return;
  ehlo_feature_line(line + 4, length - 4, features);
}

// Reads the greeting, greets with EHLO, and sends the envelope commands
// together when the server offers PIPELINING, one at a time otherwise.
int ehlo_exchange(const char* from, const char* const* recipients, int count,
                  const Content& content) {
  if (!replied()) return give_up();  // the greeting
  send_command("EHLO QUILLON");
  EhloFeatures features = {};
  (void)smtp_read_reply(nullptr, note_capability, &features);
  if (g_smtp.timed_out) return give_up();

  int code = 0;
  bool read_ok = true;
  if (features.pipelining) {
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
  if (!features.pipelining) {
    (void)smtp_flush();
    bool accepted = TCPdoread(&code) == 1 && is_positive(code);
    if (g_smtp.timed_out) return give_up();
    return say_goodbye(accepted);
  }
  // The end mark and QUIT travel together; the replies come in order.
  queue_command("QUIT");
  (void)smtp_flush();
  bool accepted = TCPdoread(&code) == 1 && is_positive(code);
  if (!g_smtp.timed_out) (void)TCPdoread();
  return accepted ? 1 : 0;
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

int smtp_dialogue(char* server, const char* from, const char* to,
                  const char* header_block, const char* body,
                  const char* header_shown, const char* body_shown) {
  if (!g_smtp.winsock_started) {
    TCPstartup();
    g_smtp.winsock_started = true;
  }
  if (server == nullptr) {
    // No smtp line in the settings: there is nobody to talk to.
    log_event(LOG_ERROR, "SMTP email server (%s) did not respond.\n", "");
    return 0;
  }

  int port = kDefaultPort;
  char* colon = strchr(server, ':');
  if (colon != nullptr) {
    *colon = '\0';
    port = smtp_port_from_text(colon + 1);
  }
  g_smtp.socket = TCPconnect(server, port);
  if (g_smtp.socket == kNoSocket) {
    log_event(LOG_ERROR, "SMTP email server (%s) did not respond.\n", server);
    return 0;
  }

  const char* recipients[kMaxRecipients];
  int count = 0;
  recipients[count++] = or_empty(to);
  if (g_envelope.bcc != nullptr) recipients[count++] = g_envelope.bcc;
  if (g_envelope.cc != nullptr) recipients[count++] = g_envelope.cc;

  from = or_empty(from);
  Content content;
  content.header = or_empty(header_block);
  content.body = or_empty(body);
  content.header_shown = header_shown != nullptr ? header_shown : content.header;
  content.body_shown = body_shown != nullptr ? body_shown : content.body;
  if (g_smtp.use_helo) return helo_exchange(from, recipients, count, content);
  return ehlo_exchange(from, recipients, count, content);
}
