#include "http/http_client.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/fatal.h"
#include "base/program.h"
#include "platform/net.h"
#include "platform/os.h"
#include "platform/tls.h"

namespace {

constexpr int kWsaConnectionRefused = 10061;
// The largest body sent: the request is one byte buffer with int lengths.
constexpr size_t kRequestBodyLimit = INT_MAX / 2;

// When the exchange must be over; each platform call takes whole seconds,
// so it gets the time left rounded up (never 0, which would mean no limit
// at all there).
struct Deadline {
  long long end_ms;
  int seconds;  // the whole exchange's, for the message
};

Deadline deadline_of(const HttpRequest& request) {
  long long now = os_monotonic_ms();
  int timeout = request.timeout_seconds < 1 ? 1 : request.timeout_seconds;
  long long end = now + timeout * 1000LL;
  if (request.deadline_ms != 0 && request.deadline_ms < end) end = request.deadline_ms;
  long long span = end > now ? end - now : 0;
  return Deadline{end, static_cast<int>((span + 999) / 1000)};
}

bool time_left(const Deadline& deadline, int* seconds) {
  long long left = deadline.end_ms - os_monotonic_ms();
  if (left <= 0) return false;
  *seconds = static_cast<int>((left + 999) / 1000);
  return true;
}

void timed_out(const Deadline& deadline, char* error, size_t error_size) {
  snprintf(error, error_size, "timed out after %d s", deadline.seconds);
}

// The error of a failed connect to `where` (host:port or a socket path).
void connect_error(const Deadline& deadline, const char* where, int code, char* error,
                   size_t error_size) {
  if (code == kWsaTimedOut) {
    timed_out(deadline, error, error_size);
  } else if (code == kWsaConnectionRefused) {
    snprintf(error, error_size, "connection refused by %s", where);
  } else {
    snprintf(error, error_size, "connection to %s failed (error %d)", where, code);
  }
}

// Resolves and connects; kNoSocket with `error` on failure.
OsSocket open_tcp(const HttpUrl& url, const Deadline& deadline, char* error,
                  size_t error_size) {
  std::uint32_t addr = 0;
  int family = net_af_inet();
  if (http_is_dotted_ipv4(url.host, strlen(url.host))) {
    addr = net_inet_addr(url.host);
  } else if (!net_resolve(url.host, &addr, &family)) {
    snprintf(error, error_size, "cannot resolve %s", url.host);
    return kNoSocket;
  }
  int seconds = 0;
  if (!time_left(deadline, &seconds)) {
    timed_out(deadline, error, error_size);
    return kNoSocket;
  }
  OsSocket sock = net_socket(family);
  if (sock == kNoSocket) {
    snprintf(error, error_size, "no socket (error %d)", net_last_error());
    return kNoSocket;
  }
  if (net_connect(sock, family, addr, url.port, seconds) == 0) return sock;
  int code = net_last_error();
  net_close(sock);
  char where[300];
  snprintf(where, sizeof where, "%s:%d", url.host, url.port);
  connect_error(deadline, where, code, error, error_size);
  return kNoSocket;
}

OsSocket open_unix(const char* path, const Deadline& deadline, char* error,
                   size_t error_size) {
  int seconds = 0;
  if (!time_left(deadline, &seconds)) {
    timed_out(deadline, error, error_size);
    return kNoSocket;
  }
  OsSocket sock = net_unix_connect(path, seconds);
  if (sock == kNoSocket) connect_error(deadline, path, net_last_error(), error, error_size);
  return sock;
}

// A connection: the socket, and the TLS session over it for https://.
struct Link {
  OsSocket sock = kNoSocket;
  TlsSession* tls = nullptr;
};

void link_close(Link* link) {
  tls_close(link->tls);
  net_close(link->sock);
  *link = Link();
}

// Connects (and runs the handshake for https://); false with `error`.
bool link_open(const HttpRequest& request, const HttpUrl& url, const Deadline& deadline,
               Link* link, char* error, size_t error_size) {
  int version = 0;
  if (net_startup(&version) != 0) {
    snprintf(error, error_size, "no socket library");
    return false;
  }
  link->sock = request.unix_socket != nullptr
                   ? open_unix(request.unix_socket, deadline, error, error_size)
                   : open_tcp(url, deadline, error, error_size);
  if (link->sock == kNoSocket || !url.tls) return link->sock != kNoSocket;
  int seconds = 0;
  if (!time_left(deadline, &seconds)) {
    link_close(link);
    timed_out(deadline, error, error_size);
    return false;
  }
  char tls_error[kTlsErrorSize];
  tls_error[0] = '\0';
  link->tls = tls_start(link->sock, url.host, request.ca_file, seconds, tls_error);
  if (link->tls != nullptr) return true;
  if (net_last_error() == kWsaTimedOut) {
    timed_out(deadline, error, error_size);
  } else {
    snprintf(error, error_size, "%s", tls_error);
  }
  link_close(link);
  return false;
}

// The error of a failed send or receive.
void io_error(const Deadline& deadline, const char* what, char* error, size_t error_size) {
  int code = net_last_error();
  if (code == kWsaTimedOut) {
    timed_out(deadline, error, error_size);
  } else {
    snprintf(error, error_size, "%s failed (error %d)", what, code);
  }
}

// Sends all `length` bytes: TLS takes them at once, a plain socket may
// take them a piece at a time.
bool link_send(const Link& link, const char* data, size_t length, const Deadline& deadline,
               char* error, size_t error_size) {
  size_t sent = 0;
  while (sent < length) {
    int seconds = 0;
    if (!time_left(deadline, &seconds)) {
      timed_out(deadline, error, error_size);
      return false;
    }
    int piece = static_cast<int>(length - sent);
    int n = link.tls != nullptr ? tls_send(link.tls, data + sent, piece, seconds)
                                : net_send(link.sock, data + sent, piece, seconds);
    if (n < 0) {
      io_error(deadline, "sending the request", error, error_size);
      return false;
    }
    sent += static_cast<size_t>(n);
  }
  return true;
}

int link_recv(const Link& link, char* buf, int length, int seconds) {
  return link.tls != nullptr ? tls_recv(link.tls, buf, length, seconds)
                             : net_recv(link.sock, buf, length, seconds);
}

// Reads until the answer is whole, the peer closes, or the deadline
// passes; `received` is the caller's to release.
bool read_answer(const Link& link, const Deadline& deadline, TextBuffer* received,
                 HttpResult* result) {
  // What a whole answer may take on the wire: the head, the body and a
  // chunked encoding's framing around it.
  const size_t wire_limit = kHttpHeadLimit + 2 * kHttpAnswerLimit;
  char buf[16384];
  for (;;) {
    int seconds = 0;
    if (!time_left(deadline, &seconds)) {
      timed_out(deadline, result->error, sizeof result->error);
      return false;
    }
    int got = link_recv(link, buf, sizeof buf, seconds);
    if (got < 0) {
      io_error(deadline, "reading the answer", result->error, sizeof result->error);
      return false;
    }
    text_buffer_append_bytes(received, buf, got);
    HttpParse state = http_read_answer(received->data, static_cast<size_t>(received->length),
                                       got == 0, &result->answer, result->error,
                                       sizeof result->error);
    if (state == HttpParse::kError) return false;
    if (state == HttpParse::kComplete) return true;
    if (static_cast<size_t>(received->length) > wire_limit) {
      snprintf(result->error, sizeof result->error, "answer over 64 KB");
      return false;
    }
  }
}

bool is_token(const char* text) {
  if (text == nullptr || text[0] == '\0') return false;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c <= ' ' || *c >= 0x7f || strchr("()<>@,;:\\\"/[]?={}", *c) != nullptr) return false;
  }
  return true;
}

bool is_one_line(const char* text) {
  if (text == nullptr) return false;
  for (const char* c = text; *c != '\0'; ++c) {
    unsigned char u = static_cast<unsigned char>(*c);
    if ((u < ' ' && u != '\t') || u == 0x7f) return false;
  }
  return true;
}

// What is wrong with the request's own parts; null when nothing is. The
// texts never quote a value, which may be a secret.
const char* request_fault(const HttpRequest& request) {
  if (!is_token(request.method)) return "request method is not a token";
  if (request.content_type != nullptr && !is_one_line(request.content_type)) {
    return "request Content-Type is not one line";
  }
  if (request.body_length > kRequestBodyLimit) return "request body over 1 GB";
  if (request.body == nullptr && request.body_length > 0) return "request body is missing";
  for (int i = 0; i < request.header_count; ++i) {
    if (!is_token(request.headers[i].name)) return "request header name is not a token";
    if (!is_one_line(request.headers[i].value)) return "request header value is not one line";
  }
  return nullptr;
}

void append_text(TextBuffer* out, const char* text) {
  text_buffer_append_bytes(out, text, static_cast<int>(strlen(text)));
}

void append_header(TextBuffer* out, const char* name, const char* value) {
  append_text(out, name);
  append_text(out, ": ");
  append_text(out, value);
  append_text(out, "\r\n");
}

// The request's bytes into *out. The body is appended last, so no block
// left behind by growing holds a copy of it.
void build_request(const HttpRequest& request, const HttpUrl& url, TextBuffer* out) {
  char port[16] = "";
  if (url.port != (url.tls ? 443 : 80)) snprintf(port, sizeof port, ":%d", url.port);
  append_text(out, request.method);
  append_text(out, " ");
  append_text(out, url.path);
  append_text(out, " HTTP/1.1\r\nHost: ");
  append_text(out, url.host);
  append_text(out, port);
  append_text(out, "\r\nUser-Agent: QUILLON/");
  append_text(out, kProgramVersion);
  append_text(out, "\r\n");
  if (request.body != nullptr && request.content_type != nullptr) {
    append_header(out, "Content-Type", request.content_type);
  }
  if (request.body != nullptr) {
    char length[32];
    snprintf(length, sizeof length, "%llu",
             static_cast<unsigned long long>(request.body_length));
    append_header(out, "Content-Length", length);
  }
  for (int i = 0; i < request.header_count; ++i) {
    append_header(out, request.headers[i].name, request.headers[i].value);
  }
  append_text(out, "Connection: close\r\n\r\n");
  if (request.body != nullptr) {
    text_buffer_append_bytes(out, request.body, static_cast<int>(request.body_length));
  }
}

// Connects, sends the request and reads the answer into *result.
bool exchange(const HttpRequest& request, const HttpUrl& url, const Deadline& deadline,
              HttpResult* result) {
  Link link;
  if (!link_open(request, url, deadline, &link, result->error, sizeof result->error)) {
    return false;
  }
  TextBuffer* wire = text_buffer_new("");
  build_request(request, url, wire);
  bool ok = link_send(link, wire->data, static_cast<size_t>(wire->length), deadline,
                      result->error, sizeof result->error);
  // The request may carry the caller's secret: leave no copy of it behind.
  memset(wire->data, 0, static_cast<size_t>(wire->length));
  if (ok) {
    text_buffer_replace(wire, "%s", "");
    ok = read_answer(link, deadline, wire, result);
  }
  text_buffer_free(wire);
  link_close(&link);
  return ok;
}

}  // namespace

bool http_exchange(const HttpRequest& request, HttpResult* result) {
  *result = HttpResult();
  const Deadline deadline = deadline_of(request);
  const char* fault = request_fault(request);
  if (fault != nullptr) {
    snprintf(result->error, sizeof result->error, "%s", fault);
    return false;
  }
  HttpUrl url;
  if (request.url == nullptr) {
    snprintf(result->error, sizeof result->error, "no URL");
    return false;
  }
  if (!http_parse_url(request.url, &url, result->error, sizeof result->error)) return false;
  result->ok = exchange(request, url, deadline, result);
  if (!result->ok) http_answer_free(&result->answer);
  http_url_free(&url);
  return result->ok;
}

void http_result_free(HttpResult* result) { http_answer_free(&result->answer); }
