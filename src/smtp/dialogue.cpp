#include "smtp/dialogue.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "compose/envelope.h"
#include "config/settings.h"
#include "driver/run.h"
#include "smtp/transport.h"

namespace {

constexpr int kDefaultPort = 25;
constexpr int kCommandAreaSize = 10000;
constexpr int kCommandLimit = 9998;  // longer commands are cut
constexpr int kMaxRecipients = 3;    // To, BCC, CC
// A server that keeps talking after QUIT is not read from forever.
constexpr int kMaxTrailingReplies = 100;

char g_command[kCommandAreaSize];

void send_command(const char* format, ...) QUILLON_PRINTF(1, 2);

void send_command(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vsnprintf(g_command, kCommandLimit + 1, format, args);
  va_end(args);
  sendr(g_command);
}

const char* or_empty(const char* text) { return text != nullptr ? text : ""; }

bool is_positive(int code) { return code >= 200 && code <= 299; }

// The header block, the empty line, the body and the end mark. Only sent
// after a 354, so form text never reaches a server that reads commands.
void send_content(const char* header_block, const char* body) {
  int sock = static_cast<int>(g_smtp.socket);
  (void)send_dot_stuffed(header_block);  // a failed write is logged already
  log_event(LOG_DEBUG, "SEND(%d): {%s\n}\n", sock, header_block);
  const char* ending = g_settings.email_line_ending != nullptr
                           ? g_settings.email_line_ending
                           : "\n";
  (void)TCPwrite(g_smtp.socket, ending, static_cast<int>(strlen(ending)));
  (void)send_dot_stuffed(body);
  log_event(LOG_DEBUG, "SEND(%d): {%s\n}\n", sock, body);
  (void)TCPwrite(g_smtp.socket, "\r\n.\r\n", 5);
}

// Waits for the reply to the command just sent. Returns false once a read
// has run out of time: a server that stays silent would otherwise cost one
// more time limit for every command left.
bool replied() {
  (void)TCPdoread();
  return !g_smtp.timed_out;
}

// Says goodbye to a server that stopped answering, without waiting for it.
int give_up() {
  send_command("QUIT");
  return 0;
}

// Waits for each reply before the next command.
int helo_exchange(const char* from, const char* const* recipients, int count,
                  const char* header_block, const char* body) {
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
    send_content(header_block, body);
    accepted = TCPdoread(&code) == 1 && is_positive(code);
  }
  if (g_smtp.timed_out) return give_up();
  send_command("QUIT");
  (void)TCPdoread();
  return accepted ? 1 : 0;
}

// Sends the envelope commands without waiting, then counts the replies
// (greeting, EHLO, MAIL, one per RCPT, DATA) to find the answer to DATA.
int ehlo_exchange(const char* from, const char* const* recipients, int count,
                  const char* header_block, const char* body) {
  send_command("EHLO QUILLON");
  send_command("MAIL FROM:<%s>", from);
  for (int i = 0; i < count; ++i) send_command("RCPT TO:<%s>", recipients[i]);
  send_command("DATA");

  int expected = 3 + count + 1;
  int code = 0;
  bool read_ok = true;
  for (int i = 0; i < expected && read_ok; ++i) {
    read_ok = TCPdoread(&code) == 1;
  }
  bool accepted = false;
  if (read_ok && code == 354) {
    send_content(header_block, body);
    send_command("QUIT");
    accepted = TCPdoread(&code) == 1 && is_positive(code);
  } else {
    send_command("QUIT");
  }
  // The rest: the QUIT reply, then the server closes the connection. A server
  // that already ran out of time is not waited for again.
  for (int i = 0; i < kMaxTrailingReplies && !g_smtp.timed_out && TCPdoread() == 1;
       ++i) {
  }
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
  size_t length = strlen(content);
  size_t extra = 0;
  for (size_t i = 0; i < length; ++i) {
    if (content[i] == '.' && (i == 0 || content[i - 1] == '\n')) ++extra;
  }
  if (extra == 0) {
    return TCPwrite(g_smtp.socket, content, static_cast<int>(length)) < 0 ? -1
                                                                         : 0;
  }
  char* stuffed = static_cast<char*>(malloc(length + extra + 1));
  if (stuffed == nullptr) fatal_reply("Unable to malloc memory.");
  size_t out = 0;
  for (size_t i = 0; i < length; ++i) {
    if (content[i] == '.' && (i == 0 || content[i - 1] == '\n')) {
      stuffed[out++] = '.';
    }
    stuffed[out++] = content[i];
  }
  stuffed[out] = '\0';
  int result = TCPwrite(g_smtp.socket, stuffed, static_cast<int>(out));
  free(stuffed);
  return result < 0 ? -1 : 0;
}

int smtp_dialogue(char* server, const char* from, const char* to,
                  const char* header_block, const char* body) {
  g_smtp.timeout_seconds = g_settings.smtp_timeout > 0 ? g_settings.smtp_timeout
                                                       : kDefaultSmtpTimeout;
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
  header_block = or_empty(header_block);
  body = or_empty(body);
  if (g_settings.use_helo) {
    return helo_exchange(from, recipients, count, header_block, body);
  }
  return ehlo_exchange(from, recipients, count, header_block, body);
}
