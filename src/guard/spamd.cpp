// SpamAssassin's spamd over the spamc protocol: SYMBOLS to judge a
// message, TELL to teach it, over TCP (HOST:PORT) or a Unix socket (a path
// beginning with '/'). What the answer means is spam_engine.cpp's.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/text.h"
#include "guard/spam_engine.h"
#include "platform/net.h"
#include "platform/os.h"

namespace {

constexpr int kMaxAnswer = 64 * 1024;
constexpr int kDefaultSpamdPort = 783;

int seconds_left(int timeout, long long deadline_ms) {
  if (deadline_ms == 0) return timeout;
  long long left = (deadline_ms - os_monotonic_ms() + 999) / 1000;
  if (left < 1) left = 1;
  return left < timeout ? static_cast<int>(left) : timeout;
}

OsSocket connect_to(const char* address, int timeout, char* error, size_t error_size) {
  // Windows Sockets must be started before the first socket call.
  int version = 0;
  if (net_startup(&version) != 0) {
    snprintf(error, error_size, "spamd at %.120s: the socket library cannot start", address);
    return kNoSocket;
  }
  if (address[0] == '/') {
    OsSocket sock = net_unix_connect(address, timeout);
    if (sock == kNoSocket) {
      snprintf(error, error_size, "spamd at %.120s: cannot connect (%d)", address,
               net_last_error());
    }
    return sock;
  }
  char host[256];
  int port = kDefaultSpamdPort;
  const char* colon = strrchr(address, ':');
  size_t host_length = colon != nullptr ? static_cast<size_t>(colon - address) : strlen(address);
  if (colon != nullptr) port = atoi(colon + 1);
  snprintf(host, sizeof host, "%.*s", static_cast<int>(host_length), address);
  std::uint32_t addr = 0;
  int family = 0;
  if (port <= 0 || port > 65535 || !net_resolve(host, &addr, &family)) {
    snprintf(error, error_size, "spamd at %.120s: cannot resolve %s", address, host);
    return kNoSocket;
  }
  OsSocket sock = net_socket(family);
  if (sock == kNoSocket || net_connect(sock, family, addr, port, timeout) != 0) {
    int code = net_last_error();
    snprintf(error, error_size, "spamd at %.120s: %s (%d)", address,
             code == kWsaTimedOut ? "no connection in time" : "connection refused", code);
    net_close(sock);
    return kNoSocket;
  }
  return sock;
}

// Sends `request` and reads the whole answer (spamd closes after it) into
// `answer`. False with the reason in `error`.
bool exchange(const char* address, const TextBuffer& request, int timeout_seconds,
              long long deadline_ms, TextBuffer* answer, char* error, size_t error_size) {
  OsSocket sock =
      connect_to(address, seconds_left(timeout_seconds, deadline_ms), error, error_size);
  if (sock == kNoSocket) return false;
  bool ok = true;
  for (int sent = 0; ok && sent < request.length;) {
    int n = net_send(sock, request.data + sent, request.length - sent,
                     seconds_left(timeout_seconds, deadline_ms));
    ok = n > 0;
    sent += n > 0 ? n : 0;
  }
  char chunk[4096];
  while (ok) {
    int n = net_recv(sock, chunk, sizeof chunk, seconds_left(timeout_seconds, deadline_ms));
    if (n == 0) break;
    ok = n > 0 && answer->length + n <= kMaxAnswer;
    if (ok) text_buffer_append_bytes(answer, chunk, n);
  }
  if (!ok) {
    int code = net_last_error();
    snprintf(error, error_size, "spamd at %.120s: %s", address,
             code == kWsaTimedOut           ? "no answer in time"
             : answer->length >= kMaxAnswer ? "answer over 64 KB"
                                            : "the connection failed");
  }
  net_close(sock);
  return ok;
}

// "SPAMD/1.x 0 EX_OK": the code of the first line, -1 when it is none.
int answer_code(const char* answer) {
  if (strncmp(answer, "SPAMD/1.", 8) != 0) return -1;
  const char* blank = strchr(answer, ' ');
  if (blank == nullptr || blank[1] < '0' || blank[1] > '9') return -1;
  return atoi(blank + 1);
}

void request_head(TextBuffer* request, const char* verb, size_t length, const char* extra) {
  text_buffer_append(request, "%s SPAMC/1.5\r\nContent-length: %llu\r\n%s\r\n", verb,
                     static_cast<unsigned long long>(length), extra);
}

}  // namespace

bool spamd_read_answer(const char* answer, size_t length, EngineResult* result) {
  const char* end = answer + length;
  const char* spam = strstr(answer, "\nSpam: ");
  double score = 0;
  double threshold = 0;
  char word[8] = "";
  if (answer_code(answer) != 0 || spam == nullptr ||
      sscanf(spam + 7, "%7s ; %lf / %lf", word, &score, &threshold) != 3) {
    snprintf(result->error, sizeof result->error, "spamd's answer is not understood: %.60s",
             answer_code(answer) > 0 ? answer : "no \"Spam:\" line");
    for (char* c = result->error; *c != '\0'; ++c) {
      if (*c == '\r' || *c == '\n') *c = ' ';
    }
    return false;
  }
  result->spam = strcmp(word, "True") == 0 || strcmp(word, "Yes") == 0;
  result->score = score;
  result->threshold = threshold;
  const char* body = strstr(answer, "\r\n\r\n");
  size_t skip = 4;
  if (body == nullptr) {
    body = strstr(answer, "\n\n");
    skip = 2;
  }
  if (body != nullptr) {
    body += skip;
    size_t symbols = strcspn(body, "\r\n");
    if (body + symbols > end) symbols = static_cast<size_t>(end - body);
    size_t used = 0;
    for (size_t i = 0; i < symbols && used + 3 < sizeof result->symbols; ++i) {
      if (body[i] == ',') {
        result->symbols[used++] = ',';
        result->symbols[used++] = ' ';
      } else {
        result->symbols[used++] = body[i];
      }
    }
    result->symbols[used] = '\0';
  }
  return true;
}

bool spamd_check(const Settings& settings, const char* message, size_t length,
                 const EngineEnvelope& envelope, long long deadline_ms, EngineResult* result) {
  // spamd's protocol carries no envelope: its copy says who sent it.
  const char* eol = strstr(message, "\r\n") != nullptr ? "\r\n" : "\n";
  char received[600];
  snprintf(received, sizeof received, "Received: from %s ([%s])%s\tby %s with HTTP%s",
           envelope.helo, envelope.client_addr != nullptr ? envelope.client_addr : "unknown", eol,
           envelope.helo, eol);
  size_t total = strlen(received) + length;
  TextBuffer* request = text_buffer_new("");
  request_head(request, "SYMBOLS", total, "");
  text_buffer_append(request, "%s", received);
  text_buffer_append_bytes(request, message, static_cast<int>(length));
  TextBuffer* answer = text_buffer_new("");
  bool read = exchange(settings.spam_engine_address, *request, settings.spam_timeout, deadline_ms,
                       answer, result->error, sizeof result->error) &&
              spamd_read_answer(answer->data, static_cast<size_t>(answer->length), result);
  text_buffer_free(request);
  text_buffer_free(answer);
  return read;
}

bool spamd_learn(const Settings& settings, const char* message, size_t length, bool spam,
                 char* error, size_t error_size) {
  TextBuffer* request = text_buffer_new("");
  request_head(
      request, "TELL", length,
      spam ? "Message-class: spam\r\nSet: local\r\n" : "Message-class: ham\r\nSet: local\r\n");
  text_buffer_append_bytes(request, message, static_cast<int>(length));
  TextBuffer* answer = text_buffer_new("");
  bool told = exchange(settings.spam_engine_address, *request, settings.spam_timeout, 0, answer,
                       error, error_size);
  if (told && answer_code(answer->data) != 0) {
    told = false;
    snprintf(error, error_size, "spamd did not learn it (%.80s); is it started with --allow-tell?",
             answer->data);
    for (char* c = error; *c != '\0'; ++c) {
      if (*c == '\r' || *c == '\n') *c = ' ';
    }
  }
  text_buffer_free(request);
  text_buffer_free(answer);
  return told;
}
