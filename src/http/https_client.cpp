#include "http/https_client.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

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
bool is_dotted_ipv4(const std::string& host) {
  int parts = 0;
  size_t i = 0;
  while (i <= host.size()) {
    size_t start = i;
    int value = 0;
    while (i < host.size() && is_digit(host[i]) && i - start < 3) {
      value = value * 10 + (host[i] - '0');
      ++i;
    }
    if (i == start || value > 255) return false;
    ++parts;
    if (i == host.size()) break;
    if (host[i] != '.') return false;
    ++i;
  }
  return parts == 4;
}

bool all_digits(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!is_digit(c)) return false;
  }
  return true;
}

bool parse_host_port(const std::string& authority, HttpsUrl* parsed, std::string* error) {
  size_t colon = authority.find(':');
  std::string host = authority.substr(0, colon);
  if (host.empty() || host.front() == '.' || host.front() == '-') {
    *error = "URL names no usable host";
    return false;
  }
  for (char& c : host) {
    if (!dns_char(c)) {
      *error = "URL host is neither a DNS name nor an IPv4 address";
      return false;
    }
    c = ascii_lower(c);
  }
  // A name that starts with a digit and is no address would be taken for a
  // malformed address by the resolver of one platform and not the other.
  if (is_digit(host.back()) && !is_dotted_ipv4(host)) {
    *error = "URL host is neither a DNS name nor an IPv4 address";
    return false;
  }
  parsed->host = host;
  parsed->port = 443;
  if (colon == std::string::npos) return true;
  std::string port = authority.substr(colon + 1);
  if (!all_digits(port) || port.size() > 5 || std::stoi(port) < 1 || std::stoi(port) > 65535) {
    *error = "URL port is not a number from 1 to 65535";
    return false;
  }
  parsed->port = std::stoi(port);
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

std::string timed_out(const Deadline& deadline) {
  return "timed out after " + std::to_string(deadline.seconds) + " s";
}

std::string host_port(const HttpsUrl& url) {
  return url.host + ":" + std::to_string(url.port);
}

// Resolves and connects; kNoSocket with *error on failure.
OsSocket open_connection(const HttpsUrl& url, const Deadline& deadline, std::string* error) {
  int version = 0;
  if (net_startup(&version) != 0) {
    *error = "no socket library";
    return kNoSocket;
  }
  std::uint32_t addr = 0;
  int family = net_af_inet();
  if (is_dotted_ipv4(url.host)) {
    addr = net_inet_addr(url.host.c_str());
  } else if (!net_resolve(url.host.c_str(), &addr, &family)) {
    *error = "cannot resolve " + url.host;
    return kNoSocket;
  }
  int seconds = 0;
  if (!time_left(deadline, &seconds)) {
    *error = timed_out(deadline);
    return kNoSocket;
  }
  OsSocket sock = net_socket(family);
  if (sock == kNoSocket) {
    *error = "no socket (error " + std::to_string(net_last_error()) + ")";
    return kNoSocket;
  }
  if (net_connect(sock, family, addr, url.port, seconds) == 0) return sock;
  int code = net_last_error();
  net_close(sock);
  if (code == kWsaTimedOut) {
    *error = timed_out(deadline);
  } else if (code == kWsaConnectionRefused) {
    *error = "connection refused by " + host_port(url);
  } else {
    *error = "connection to " + host_port(url) + " failed (error " + std::to_string(code) + ")";
  }
  return kNoSocket;
}

std::string request_head(const HttpsUrl& url, size_t length) {
  std::string host = url.port == 443 ? url.host : host_port(url);
  return "POST " + url.path + " HTTP/1.1\r\n" + "Host: " + host + "\r\n" +
         "User-Agent: QUILLON/" + kProgramVersion + "\r\n" +
         "Content-Type: application/x-www-form-urlencoded\r\n" +
         "Content-Length: " + std::to_string(length) + "\r\n" +
         "Accept: application/json\r\n" + "Connection: close\r\n\r\n";
}

// The error of a failed tls_send/tls_recv.
std::string io_error(const Deadline& deadline, const char* what) {
  int code = net_last_error();
  if (code == kWsaTimedOut) return timed_out(deadline);
  return std::string(what) + " failed (error " + std::to_string(code) + ")";
}

// Sends the request and reads until the answer is whole, the peer closes,
// or the deadline passes.
bool exchange(TlsSession* session, const std::string& request, const Deadline& deadline,
              HttpsResult* result) {
  int seconds = 0;
  if (!time_left(deadline, &seconds)) {
    result->error = timed_out(deadline);
    return false;
  }
  if (tls_send(session, request.data(), static_cast<int>(request.size()), seconds) < 0) {
    result->error = io_error(deadline, "sending the request");
    return false;
  }
  // What a whole answer may take on the wire: the head, the body and a
  // chunked encoding's framing around it.
  const size_t wire_limit = kHttpsHeadLimit + 2 * kHttpsAnswerLimit;
  std::string received;
  char buf[16384];
  for (;;) {
    if (!time_left(deadline, &seconds)) {
      result->error = timed_out(deadline);
      return false;
    }
    int got = tls_recv(session, buf, sizeof buf, seconds);
    if (got < 0) {
      result->error = io_error(deadline, "reading the answer");
      return false;
    }
    received.append(buf, static_cast<size_t>(got));
    HttpAnswer answer;
    HttpParse state = http_read_answer(received.data(), received.size(), got == 0, &answer,
                                       &result->error);
    if (state == HttpParse::kError) return false;
    if (state == HttpParse::kComplete) {
      result->status = answer.status;
      result->body.swap(answer.body);
      return true;
    }
    if (received.size() > wire_limit) {
      result->error = "answer over 64 KB";
      return false;
    }
  }
}

}  // namespace

bool https_parse_url(const char* url, HttpsUrl* parsed, std::string* error) {
  const char kScheme[] = "https://";
  if (!ascii_equal_n(url, kScheme, sizeof kScheme - 1) || strlen(url) < sizeof kScheme) {
    *error = "URL is not https://host[:port]/path";
    return false;
  }
  for (const char* p = url; *p != '\0'; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c <= ' ' || c >= 0x7f) {
      *error = "URL holds a space or a control character";
      return false;
    }
  }
  std::string rest(url + sizeof kScheme - 1);
  if (rest.find('#') != std::string::npos) {
    *error = "URL holds a fragment";
    return false;
  }
  size_t slash = rest.find_first_of("/?");
  std::string authority = rest.substr(0, slash);
  if (authority.find('@') != std::string::npos) {
    *error = "URL holds user information";
    return false;
  }
  if (!parse_host_port(authority, parsed, error)) return false;
  parsed->path = slash == std::string::npos ? "/" : rest.substr(slash);
  if (parsed->path[0] == '?') parsed->path.insert(0, "/");
  return true;
}

bool https_post_form(const char* url, const char* body, size_t length, const char* ca_file,
                     int timeout_seconds, HttpsResult* result) {
  *result = HttpsResult();
  if (timeout_seconds < 1) timeout_seconds = 1;
  const Deadline deadline = {os_monotonic_ms() + timeout_seconds * 1000LL, timeout_seconds};
  HttpsUrl parsed;
  if (!https_parse_url(url, &parsed, &result->error)) return false;
  OsSocket sock = open_connection(parsed, deadline, &result->error);
  if (sock == kNoSocket) return false;
  int seconds = 0;
  if (!time_left(deadline, &seconds)) {
    net_close(sock);
    result->error = timed_out(deadline);
    return false;
  }
  char tls_error[kTlsErrorSize];
  tls_error[0] = '\0';
  TlsSession* session = tls_start(sock, parsed.host.c_str(), ca_file, seconds, tls_error);
  if (session == nullptr) {
    result->error = net_last_error() == kWsaTimedOut ? timed_out(deadline) : tls_error;
    net_close(sock);
    return false;
  }
  std::string request = request_head(parsed, length);
  if (length > 0) request.append(body, length);
  result->ok = exchange(session, request, deadline, result);
  // The request carries the caller's secret: leave no copy of it behind.
  memset(&request[0], 0, request.size());
  tls_close(session);
  net_close(sock);
  return result->ok;
}
