#include "http/http_url.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/fatal.h"
#include "base/program.h"

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool dns_char(char c) {
  c = ascii_lower(c);
  return (c >= 'a' && c <= 'z') || is_digit(c) || c == '-' || c == '.';
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

bool parse_host_port(const char* authority, size_t length, HttpUrl* parsed, char* error,
                     size_t error_size) {
  const char* colon = static_cast<const char*>(memchr(authority, ':', length));
  size_t host_length = colon != nullptr ? static_cast<size_t>(colon - authority) : length;
  if (host_length == 0 || authority[0] == '.' || authority[0] == '-') {
    snprintf(error, error_size, "URL names no usable host");
    return false;
  }
  // A name that ends in a digit and is no address would be taken for a
  // malformed address by the resolver of one platform and not the other.
  bool usable =
      !is_digit(authority[host_length - 1]) || http_is_dotted_ipv4(authority, host_length);
  for (size_t i = 0; i < host_length; ++i) usable = usable && dns_char(authority[i]);
  if (!usable) {
    snprintf(error, error_size, "URL host is neither a DNS name nor an IPv4 address");
    return false;
  }
  int port = parsed->tls ? 443 : 80;
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

// The length of the scheme's "http://" or "https://" at the front of
// `url`, 0 when there is neither.
size_t scheme_length(const char* url, bool* tls) {
  const char kHttps[] = "https://";
  const char kHttp[] = "http://";
  *tls = ascii_equal_n(url, kHttps, sizeof kHttps - 1);
  if (*tls) return sizeof kHttps - 1;
  return ascii_equal_n(url, kHttp, sizeof kHttp - 1) ? sizeof kHttp - 1 : 0;
}

}  // namespace

bool http_is_dotted_ipv4(const char* host, size_t length) {
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

bool http_parse_url(const char* url, HttpUrl* parsed, char* error, size_t error_size) {
  *parsed = HttpUrl();
  size_t scheme = scheme_length(url, &parsed->tls);
  if (scheme == 0 || strlen(url) <= scheme) {
    snprintf(error, error_size, "URL is not http(s)://host[:port]/path");
    return false;
  }
  for (const char* p = url; *p != '\0'; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c <= ' ' || c >= 0x7f) {
      snprintf(error, error_size, "URL holds a space or a control character");
      return false;
    }
  }
  const char* rest = url + scheme;
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

bool https_parse_url(const char* url, HttpUrl* parsed, char* error, size_t error_size) {
  bool tls = false;
  if (scheme_length(url, &tls) == 0 || !tls || strlen(url) <= sizeof "https://" - 1) {
    *parsed = HttpUrl();
    snprintf(error, error_size, "URL is not https://host[:port]/path");
    return false;
  }
  return http_parse_url(url, parsed, error, error_size);
}

void http_url_free(HttpUrl* url) {
  free(url->host);
  free(url->path);
  *url = HttpUrl();
}
