#include "http/https_client.h"

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

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool dns_char(char c) {
  c = ascii_lower(c);
  return (c >= 'a' && c <= 'z') || is_digit(c) || c == '-' || c == '.';
}

// Four decimal parts 0-255, nothing else.
bool is_dotted_ipv4(const char* host, size_t length) {
  int parts = 0;
  size_t i = 0;
  while (i <= length) {
    size_t start = i;
    int value = 0;
    while (i < length && is_digit(host[i]) && i - start < 3) {
      value = value * 10 + (host[i] - '0');
      ++i;
    }
    if (i == start || value > 255) return false;
    ++parts;
    if (i == length) break;
    if (host[i] != '.') return false;
    ++i;
  }
  return parts == 4;
}

// A port of 1 to 5 digits from 1 to 65535; 0 for anything else.
int port_number(const char* text, size_t length) {
  if (length == 0 || length > 5) return 0;
  int value = 0;
  for (size_t i = 0; i < length; ++i) {
    if (!is_digit(text[i])) return 0;
    value = value * 10 + (text[i] - '0');
  }
  return value <= 65535 ? value : 0;
}

bool parse_host_port(const char* authority, size_t length, HttpsUrl* parsed, char* error,
                     size_t error_size) {
  const char* colon = static_cast<const char*>(memchr(authority, ':', length));
  size_t host_length = colon != nullptr ? static_cast<size_t>(colon - authority) : length;
  if (host_length == 0 || authority[0] == '.' || authority[0] == '-') {
    snprintf(error, error_size, "URL names no usable host");
    return false;
  }
  // A name that ends in a digit and is no address would be taken for a
  // malformed address by the resolver of one platform and not the other.
  bool usable = !is_digit(authority[host_length - 1]) || is_dotted_ipv4(authority, host_length);
  for (size_t i = 0; i < host_length; ++i) usable = usable && dns_char(authority[i]);
  if (!usable) {
    snprintf(error, error_size, "URL host is neither a DNS name nor an IPv4 address");
    return false;
  }
  int port = 443;
  if (colon != nullptr) {
    port = port_number(colon + 1, length - host_length - 1);
    if (port == 0) {
      snprintf(error, error_size, "URL port is not a number from 1 to 65535");
      return false;
    }
  }
  parsed->host = copy_bytes_or_die(authority, host_length, kOutOfMemory);
  for (char* c = parsed->host; *c != '\0'; ++c) *c = ascii_lower(*c);
  parsed->port = port;
  return true;
}

// Milliseconds left before the deadline; each platform call takes whole
// seconds, so it gets the time left rounded up (never 0, which would mean
// no limit at all there).
struct Deadline {
  long long end_ms;
  int seconds;  // as asked, for the message
};

bool time_left(const Deadline& deadline, int* seconds) {
  long long left = deadline.end_ms - os_monotonic_ms();
  if (left <= 0) return false;
  *seconds = static_cast<int>((left + 999) / 1000);
  return true;
}

void timed_out(const Deadline& deadline, char* error, size_t error_size) {
  snprintf(error, error_size, "timed out after %d s", deadline.seconds);
}

// Resolves and connects; kNoSocket with `error` on failure.
OsSocket open_connection(const HttpsUrl& url, const Deadline& deadline, char* error,
                         size_t error_size) {
  int version = 0;
  if (net_startup(&version) != 0) {
    snprintf(error, error_size, "no socket library");
    return kNoSocket;
  }
  std::uint32_t addr = 0;
  int family = net_af_inet();
  if (is_dotted_ipv4(url.host, strlen(url.host))) {
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
  if (code == kWsaTimedOut) {
    timed_out(deadline, error, error_size);
  } else if (code == kWsaConnectionRefused) {
    snprintf(error, error_size, "connection refused by %s:%d", url.host, url.port);
  } else {
    snprintf(error, error_size, "connection to %s:%d failed (error %d)", url.host, url.port, code);
  }
  return kNoSocket;
}

void append_text(HttpBytes* bytes, const char* text) {
  http_bytes_append(bytes, text, strlen(text));
}

// The request head and `length` bytes of body into *request. The body is
// appended last, so no block left behind by growing holds a copy of it.
void build_request(const HttpsUrl& url, const char* body, size_t length, HttpBytes* request) {
  char port[16] = "";
  if (url.port != 443) snprintf(port, sizeof port, ":%d", url.port);
  char content_length[64];
  snprintf(content_length, sizeof content_length, "Content-Length: %llu\r\n",
           static_cast<unsigned long long>(length));
  append_text(request, "POST ");
  append_text(request, url.path);
  append_text(request, " HTTP/1.1\r\nHost: ");
  append_text(request, url.host);
  append_text(request, port);
  append_text(request, "\r\nUser-Agent: QUILLON/");
  append_text(request, kProgramVersion);
  append_text(request, "\r\nContent-Type: application/x-www-form-urlencoded\r\n");
  append_text(request, content_length);
  append_text(request, "Accept: application/json\r\nConnection: close\r\n\r\n");
  if (length > 0) http_bytes_append(request, body, length);
}

// The error of a failed tls_send/tls_recv.
void io_error(const Deadline& deadline, const char* what, char* error, size_t error_size) {
  int code = net_last_error();
  if (code == kWsaTimedOut) {
    timed_out(deadline, error, error_size);
  } else {
    snprintf(error, error_size, "%s failed (error %d)", what, code);
  }
}

// Reads until the answer is whole, the peer closes, or the deadline
// passes; `received` and `answer` are the caller's to release.
bool read_answer(TlsSession* session, const Deadline& deadline, HttpBytes* received,
                 HttpAnswer* answer, HttpsResult* result) {
  // What a whole answer may take on the wire: the head, the body and a
  // chunked encoding's framing around it.
  const size_t wire_limit = kHttpsHeadLimit + 2 * kHttpsAnswerLimit;
  char buf[16384];
  for (;;) {
    int seconds = 0;
    if (!time_left(deadline, &seconds)) {
      timed_out(deadline, result->error, sizeof result->error);
      return false;
    }
    int got = tls_recv(session, buf, sizeof buf, seconds);
    if (got < 0) {
      io_error(deadline, "reading the answer", result->error, sizeof result->error);
      return false;
    }
    http_bytes_append(received, buf, static_cast<size_t>(got));
    HttpParse state = http_read_answer(received->data, received->length, got == 0, answer,
                                       result->error, sizeof result->error);
    if (state == HttpParse::kError) return false;
    if (state == HttpParse::kComplete) return true;
    if (received->length > wire_limit) {
      snprintf(result->error, sizeof result->error, "answer over 64 KB");
      return false;
    }
  }
}

// Sends the request and reads the answer into *result.
bool exchange(TlsSession* session, const HttpBytes& request, const Deadline& deadline,
              HttpsResult* result) {
  int seconds = 0;
  if (!time_left(deadline, &seconds)) {
    timed_out(deadline, result->error, sizeof result->error);
    return false;
  }
  if (tls_send(session, request.data, static_cast<int>(request.length), seconds) < 0) {
    io_error(deadline, "sending the request", result->error, sizeof result->error);
    return false;
  }
  HttpBytes received;
  HttpAnswer answer;
  bool ok = read_answer(session, deadline, &received, &answer, result);
  if (ok) {
    result->status = answer.status;
    result->body = answer.body;
    answer.body = HttpBytes();
  }
  http_bytes_free(&answer.body);
  http_bytes_free(&received);
  return ok;
}

// https_post_form on a parsed URL.
bool post_to(const HttpsUrl& parsed, const char* body, size_t length, const char* ca_file,
             const Deadline& deadline, HttpsResult* result) {
  OsSocket sock = open_connection(parsed, deadline, result->error, sizeof result->error);
  if (sock == kNoSocket) return false;
  int seconds = 0;
  if (!time_left(deadline, &seconds)) {
    net_close(sock);
    timed_out(deadline, result->error, sizeof result->error);
    return false;
  }
  char tls_error[kTlsErrorSize];
  tls_error[0] = '\0';
  TlsSession* session = tls_start(sock, parsed.host, ca_file, seconds, tls_error);
  if (session == nullptr) {
    if (net_last_error() == kWsaTimedOut) {
      timed_out(deadline, result->error, sizeof result->error);
    } else {
      snprintf(result->error, sizeof result->error, "%s", tls_error);
    }
    net_close(sock);
    return false;
  }
  HttpBytes request;
  build_request(parsed, body, length, &request);
  bool ok = exchange(session, request, deadline, result);
  // The request carries the caller's secret: leave no copy of it behind.
  memset(request.data, 0, request.length);
  http_bytes_free(&request);
  tls_close(session);
  net_close(sock);
  return ok;
}

}  // namespace

bool https_parse_url(const char* url, HttpsUrl* parsed, char* error, size_t error_size) {
  *parsed = HttpsUrl();
  const char kScheme[] = "https://";
  if (!ascii_equal_n(url, kScheme, sizeof kScheme - 1) || strlen(url) < sizeof kScheme) {
    snprintf(error, error_size, "URL is not https://host[:port]/path");
    return false;
  }
  for (const char* p = url; *p != '\0'; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c <= ' ' || c >= 0x7f) {
      snprintf(error, error_size, "URL holds a space or a control character");
      return false;
    }
  }
  const char* rest = url + sizeof kScheme - 1;
  if (strchr(rest, '#') != nullptr) {
    snprintf(error, error_size, "URL holds a fragment");
    return false;
  }
  size_t slash = strcspn(rest, "/?");
  if (memchr(rest, '@', slash) != nullptr) {
    snprintf(error, error_size, "URL holds user information");
    return false;
  }
  if (!parse_host_port(rest, slash, parsed, error, error_size)) return false;
  const char* path = rest + slash;
  size_t path_length = strlen(path);
  // No path is "/"; a query without one gets it in front.
  bool slash_first = path_length == 0 || path[0] == '?';
  parsed->path = static_cast<char*>(malloc(path_length + 2));
  if (parsed->path == nullptr) fatal_reply(kOutOfMemory);
  parsed->path[0] = '/';
  memcpy(parsed->path + (slash_first ? 1 : 0), path, path_length + 1);
  return true;
}

void https_url_free(HttpsUrl* url) {
  free(url->host);
  free(url->path);
  *url = HttpsUrl();
}

bool https_post_form(const char* url, const char* body, size_t length, const char* ca_file,
                     int timeout_seconds, HttpsResult* result) {
  *result = HttpsResult();
  if (timeout_seconds < 1) timeout_seconds = 1;
  const Deadline deadline = {os_monotonic_ms() + timeout_seconds * 1000LL, timeout_seconds};
  HttpsUrl parsed;
  if (!https_parse_url(url, &parsed, result->error, sizeof result->error)) return false;
  result->ok = post_to(parsed, body, length, ca_file, deadline, result);
  https_url_free(&parsed);
  return result->ok;
}

void https_result_free(HttpsResult* result) { http_bytes_free(&result->body); }
