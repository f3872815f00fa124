#include "guard/clamd.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/net.h"
#include "platform/os.h"

namespace {

// The longest reply read: a signature name is far shorter.
constexpr size_t kReplyLimit = 1024;

bool time_left(long long end_ms, int* seconds) {
  long long left = end_ms - os_monotonic_ms();
  if (left <= 0) return false;
  *seconds = static_cast<int>((left + 999) / 1000);
  return true;
}

// A TCP connection to "HOST:PORT".
OsSocket open_tcp(const char* address, int seconds, char* error, size_t size) {
  const char* colon = strrchr(address, ':');
  char host[256];
  char* end = nullptr;
  long port = colon != nullptr ? strtol(colon + 1, &end, 10) : 0;
  if (colon == nullptr || colon == address || static_cast<size_t>(colon - address) >= sizeof host ||
      end == colon + 1 || *end != '\0' || port < 1 || port > 65535) {
    snprintf(error, size, "{%s} is neither HOST:PORT nor a socket path", address);
    return kNoSocket;
  }
  snprintf(host, sizeof host, "%.*s", static_cast<int>(colon - address), address);
  std::uint32_t addr = net_inet_addr(host);
  int family = net_af_inet();
  if (addr == 0xffffffffu && !net_resolve(host, &addr, &family)) {
    snprintf(error, size, "the host %s does not resolve", host);
    return kNoSocket;
  }
  OsSocket sock = net_socket(family);
  if (sock == kNoSocket) {
    snprintf(error, size, "no socket for %s (error %d)", address, net_last_error());
    return kNoSocket;
  }
  if (net_connect(sock, family, addr, static_cast<int>(port), seconds) == 0) return sock;
  snprintf(error, size, "no connection to %s (error %d)", address, net_last_error());
  net_close(sock);
  return kNoSocket;
}

OsSocket open_clamd(const char* address, long long end_ms, char* error, size_t size) {
  int version = 0;
  int seconds = 0;
  if (net_startup(&version) != 0) {
    snprintf(error, size, "no socket library");
    return kNoSocket;
  }
  if (!time_left(end_ms, &seconds)) {
    snprintf(error, size, "no time left to reach clamd");
    return kNoSocket;
  }
  if (address[0] != '/') return open_tcp(address, seconds, error, size);
  OsSocket sock = net_unix_connect(address, seconds);
  if (sock == kNoSocket) {
    snprintf(error, size, "no connection to %s (error %d)", address, net_last_error());
  }
  return sock;
}

bool send_all(OsSocket sock, const char* data, size_t length, long long end_ms) {
  size_t sent = 0;
  while (sent < length) {
    int seconds = 0;
    if (!time_left(end_ms, &seconds)) {
      net_set_last_error(kWsaTimedOut);
      return false;
    }
    int n = net_send(sock, data + sent, static_cast<int>(length - sent), seconds);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

// Reads up to the reply's NUL (or the peer's close) into `reply`. Returns
// its length; -1 when nothing came.
int read_reply(OsSocket sock, long long end_ms, char* reply, size_t size) {
  size_t got = 0;
  while (got + 1 < size) {
    int seconds = 0;
    if (!time_left(end_ms, &seconds)) break;
    int n = net_recv(sock, reply + got, static_cast<int>(size - 1 - got), seconds);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
    if (memchr(reply, '\0', got) != nullptr) break;
  }
  reply[got] = '\0';
  return got == 0 ? -1 : static_cast<int>(strlen(reply));
}

// The error when no reply came, by what the socket said last.
void no_answer(const char* what, ClamdResult* out) {
  out->status = ClamdStatus::kNoAnswer;
  int code = net_last_error();
  if (code == kWsaTimedOut) {
    snprintf(out->text, sizeof out->text, "clamd did not answer in time (%s)", what);
  } else {
    snprintf(out->text, sizeof out->text, "the connection to clamd broke (%s, error %d)", what,
             code);
  }
}

// Streams the chunks and their zero-length end. False when the
// connection broke or the time ran out.
bool send_stream(OsSocket sock, ClamdReadFn read, void* source, long long end_ms) {
  static const char kCommand[] = "zINSTREAM";
  if (!send_all(sock, kCommand, sizeof kCommand, end_ms)) return false;  // its NUL too
  char* chunk = static_cast<char*>(malloc(4 + kClamdChunk));
  if (chunk == nullptr) return false;
  bool ok = true;
  for (;;) {
    size_t length = read(source, chunk + 4, kClamdChunk);
    clamd_chunk_head(length, reinterpret_cast<unsigned char*>(chunk));
    ok = send_all(sock, chunk, 4 + length, end_ms);
    if (!ok || length == 0) break;
  }
  free(chunk);
  return ok;
}

}  // namespace

long long clamd_end_ms(int timeout_seconds, long long deadline_ms) {
  long long end = os_monotonic_ms() + (timeout_seconds < 1 ? 1 : timeout_seconds) * 1000LL;
  return deadline_ms != 0 && deadline_ms < end ? deadline_ms : end;
}

void clamd_chunk_head(size_t length, unsigned char out[4]) {
  out[0] = static_cast<unsigned char>(length >> 24);
  out[1] = static_cast<unsigned char>(length >> 16);
  out[2] = static_cast<unsigned char>(length >> 8);
  out[3] = static_cast<unsigned char>(length);
}

void clamd_parse_reply(const char* reply, size_t length, ClamdResult* out) {
  *out = ClamdResult();
  char text[kReplyLimit];
  snprintf(text, sizeof text, "%.*s", static_cast<int>(length), reply);
  text[strcspn(text, "\r\n")] = '\0';
  snprintf(out->text, sizeof out->text, "%.*s", static_cast<int>(sizeof out->text - 1), text);
  static const char kPrefix[] = "stream: ";
  static const char kFound[] = " FOUND";
  size_t prefix = sizeof kPrefix - 1;
  size_t found = sizeof kFound - 1;
  size_t text_length = strlen(text);
  out->status = ClamdStatus::kError;
  if (strstr(text, "size limit exceeded") != nullptr) {
    out->status = ClamdStatus::kSizeLimit;
  } else if (strncmp(text, kPrefix, prefix) != 0) {
    // "... ERROR" and anything not understood: not scanned.
  } else if (strcmp(text + prefix, "OK") == 0) {
    out->status = ClamdStatus::kClean;
  } else if (text_length > prefix + found &&
             strcmp(text + text_length - found, kFound) == 0) {
    out->status = ClamdStatus::kFound;
    snprintf(out->name, sizeof out->name, "%.*s",
             static_cast<int>(text_length - prefix - found), text + prefix);
  }
}

ClamdResult clamd_scan(const char* address, ClamdReadFn read, void* source, long long end_ms) {
  ClamdResult result = {};
  result.status = ClamdStatus::kNoAnswer;
  OsSocket sock = open_clamd(address, end_ms, result.text, sizeof result.text);
  if (sock == kNoSocket) return result;
  bool streamed = send_stream(sock, read, source, end_ms);
  int saved = net_last_error();
  // Past its StreamMaxLength clamd answers and closes while the stream is
  // still coming: its reply, when the reset did not swallow it, says so.
  char reply[kReplyLimit];
  int length = read_reply(sock, end_ms, reply, sizeof reply);
  net_close(sock);
  if (length >= 0) {
    clamd_parse_reply(reply, static_cast<size_t>(length), &result);
  } else {
    if (!streamed) net_set_last_error(saved);
    no_answer(streamed ? "waiting for the verdict" : "sending the file", &result);
  }
  // A verdict on a stream cut short is no verdict, unless it found something.
  if (!streamed && result.status == ClamdStatus::kClean) {
    result.status = ClamdStatus::kNoAnswer;
    snprintf(result.text, sizeof result.text, "the connection to clamd broke (sending the file)");
  }
  return result;
}

bool clamd_command(const char* address, const char* command, long long end_ms, char* reply,
                   size_t size) {
  OsSocket sock = open_clamd(address, end_ms, reply, size);
  if (sock == kNoSocket) return false;
  char line[64];
  snprintf(line, sizeof line, "z%s", command);
  bool ok = send_all(sock, line, strlen(line) + 1, end_ms) &&
            read_reply(sock, end_ms, reply, size) > 0;
  if (!ok) {
    ClamdResult result;
    no_answer(command, &result);
    snprintf(reply, size, "%s", result.text);
  }
  net_close(sock);
  if (ok) reply[strcspn(reply, "\r\n")] = '\0';
  return ok;
}

size_t clamd_read_memory(void* source, char* buf, size_t cap) {
  ClamdMemory* memory = static_cast<ClamdMemory*>(source);
  size_t left = memory->size - memory->at;
  size_t n = left < cap ? left : cap;
  if (n > 0) memcpy(buf, memory->data + memory->at, n);
  memory->at += n;
  return n;
}
