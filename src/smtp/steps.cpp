#include "smtp/steps.h"

#include <cstring>

#include "base/program.h"

namespace {

// The ports of plain SMTP, of submission with STARTTLS, and of submission
// over TLS from the first byte.
constexpr int kDefaultPort = 25;
constexpr int kSubmissionPort = 587;
constexpr int kSubmissionTlsPort = 465;

void keep_reply_line(const char* line, int length, void* context) {
  SmtpReplyText* reply = static_cast<SmtpReplyText*>(context);
  int room = kReplyBufferSize - reply->length - 1;
  if (room <= 0) return;
  if (reply->length > 0) reply->text[reply->length++] = ' ';
  int n = length < room ? length : room;
  memcpy(reply->text + reply->length, line, static_cast<size_t>(n));
  reply->length += n;
  reply->text[reply->length] = '\0';
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

char* smtp_split_server(const char* text, SmtpSecurity security, int* port) {
  char* server = copy_text_or_die(text, kOutOfMemory);
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

bool smtp_read_reply_text(SmtpSession* session, int* code, SmtpReplyText* reply) {
  reply->length = 0;
  reply->text[0] = '\0';
  return smtp_read_reply(session, code, keep_reply_line, reply) == 1;
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
