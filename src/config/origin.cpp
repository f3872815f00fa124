#include "config/origin.h"

#include <cstring>

#include "base/program.h"

constexpr size_t kMaxHostName = 253;

// Whether two texts are equal, ASCII case ignored.
static bool same_text(const char* a, size_t a_length, const char* b, size_t b_length) {
  return a_length == b_length && ascii_equal_n(a, b, a_length);
}

bool same_host(const char* a, const char* b) {
  size_t a_length = strlen(a);
  size_t b_length = strlen(b);
  if (a_length > 1 && a[a_length - 1] == '.') --a_length;
  if (b_length > 1 && b[b_length - 1] == '.') --b_length;
  return same_text(a, a_length, b, b_length);
}

// The parts of "scheme://[user@]host[:port][/...]": the scheme's end, the
// host and where the port's text begins and ends ("" when none is given).
struct UrlParts {
  const char* scheme_end;
  const char* host;
  size_t host_length;
  const char* port;
  const char* port_end;
  bool port_given;
  bool userinfo;
};

static bool split_url(const char* url, UrlParts* parts) {
  const char* mark = strstr(url, "://");
  if (mark == nullptr || mark == url) return false;
  for (const char* p = url; p < mark; ++p) {
    char c = ascii_lower(*p);
    bool scheme_char = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
                       c == '-' || c == '.';
    if (!scheme_char) return false;
  }
  parts->scheme_end = mark;
  const char* start = mark + 3;
  const char* end = start + strcspn(start, "/?#");
  parts->userinfo = false;
  // user:password@ in front of the host belongs to no host name.
  for (const char* p = end; p > start; --p) {
    if (p[-1] == '@') {
      start = p;
      parts->userinfo = true;
      break;
    }
  }
  const char* host_end;
  if (*start == '[') {
    const char* close = static_cast<const char*>(memchr(start, ']', static_cast<size_t>(end - start)));
    if (close == nullptr) return false;
    host_end = close + 1;
  } else {
    host_end = static_cast<const char*>(memchr(start, ':', static_cast<size_t>(end - start)));
    if (host_end == nullptr) host_end = end;
  }
  parts->host = start;
  parts->host_length = static_cast<size_t>(host_end - start);
  parts->port_given = host_end < end && *host_end == ':';
  parts->port = parts->port_given ? host_end + 1 : end;
  parts->port_end = end;
  return parts->host_length > 0;
}

bool origin_host(const char* url, char* host, size_t size) {
  UrlParts parts;
  if (!split_url(url, &parts) || parts.host_length >= size) return false;
  memcpy(host, parts.host, parts.host_length);
  host[parts.host_length] = '\0';
  return true;
}

// A port from 1 to 65535, digits only; an empty text is 0 (the default).
static bool read_port(const char* begin, const char* end, int* port) {
  int value = 0;
  for (const char* p = begin; p < end; ++p) {
    if (*p < '0' || *p > '9') return false;
    value = value * 10 + (*p - '0');
    if (value > 65535) return false;
  }
  if (begin < end && value == 0) return false;
  *port = value;
  return true;
}

static int default_port(const char* scheme) {
  if (strcmp(scheme, "http") == 0) return 80;
  if (strcmp(scheme, "https") == 0) return 443;
  return 0;
}

bool web_origin_parse(const char* url, WebOrigin* out) {
  UrlParts parts;
  if (!split_url(url, &parts) || parts.host_length >= sizeof out->host) return false;
  size_t scheme_length = static_cast<size_t>(parts.scheme_end - url);
  if (scheme_length >= sizeof out->scheme) return false;
  int port = 0;
  if (!read_port(parts.port, parts.port_end, &port)) return false;
  for (size_t i = 0; i < scheme_length; ++i) out->scheme[i] = ascii_lower(url[i]);
  out->scheme[scheme_length] = '\0';
  memcpy(out->host, parts.host, parts.host_length);
  out->host[parts.host_length] = '\0';
  out->port = port != 0 ? port : default_port(out->scheme);
  return true;
}

// A host name (letters, digits, '.', '-') or an IPv6 address in brackets.
static bool is_host_name(const char* text, size_t length) {
  if (length == 0 || length > kMaxHostName + 2) return false;
  if (text[0] == '[') {
    if (length < 3 || text[length - 1] != ']') return false;
    for (size_t i = 1; i + 1 < length; ++i) {
      char c = ascii_lower(text[i]);
      if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || c == ':' || c == '.')) {
        return false;
      }
    }
    return true;
  }
  if (length > kMaxHostName) return false;
  for (size_t i = 0; i < length; ++i) {
    char c = text[i];
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
          c == '.' || c == '-')) {
      return false;
    }
  }
  return true;
}

// What an entry allows: one origin, with the scheme and the port as
// wildcards where the entry does not name them.
struct OriginEntry {
  WebOrigin origin;
  bool any_scheme;
  bool any_port;
};

static bool parse_entry(const char* entry, OriginEntry* out) {
  if (strstr(entry, "://") != nullptr) {
    UrlParts parts;
    // Exactly an origin: no user, no path, query or fragment after it.
    if (!split_url(entry, &parts) || parts.userinfo || *parts.port_end != '\0') return false;
    if (!is_host_name(parts.host, parts.host_length)) return false;
    if (parts.port_given && parts.port == parts.port_end) return false;
    out->any_scheme = false;
    out->any_port = false;
    return web_origin_parse(entry, &out->origin);
  }
  const char* host_end = entry[0] == '[' ? strchr(entry, ']') : strchr(entry, ':');
  if (host_end == nullptr) host_end = entry + strlen(entry);
  else if (entry[0] == '[') ++host_end;
  size_t host_length = static_cast<size_t>(host_end - entry);
  if (!is_host_name(entry, host_length)) return false;
  out->origin.scheme[0] = '\0';
  memcpy(out->origin.host, entry, host_length);
  out->origin.host[host_length] = '\0';
  out->any_scheme = true;
  out->any_port = *host_end == '\0';
  out->origin.port = 0;
  if (out->any_port) return true;
  const char* port = host_end + 1;
  const char* port_end = port + strlen(port);
  if (*host_end != ':' || port == port_end) return false;
  return read_port(port, port_end, &out->origin.port);
}

bool origin_entry_readable(const char* entry) {
  OriginEntry parsed;
  return parse_entry(entry, &parsed);
}

bool origin_entry_matches(const char* entry, const WebOrigin& origin) {
  OriginEntry allowed;
  if (!parse_entry(entry, &allowed)) return false;
  return same_host(origin.host, allowed.origin.host) &&
         (allowed.any_scheme || strcmp(origin.scheme, allowed.origin.scheme) == 0) &&
         (allowed.any_port || origin.port == allowed.origin.port);
}

bool origin_allowed(char* const* entries, int count, const WebOrigin& origin) {
  for (int i = 0; i < count; ++i) {
    if (origin_entry_matches(entries[i], origin)) return true;
  }
  return false;
}
