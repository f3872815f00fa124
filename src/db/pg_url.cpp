#include "db/pg_url.h"

#include <cstdio>
#include <cstring>

namespace {

struct Parse {
  PgUrl* url;
  size_t used;
  char* error;
  size_t size;
};

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Adds `keyword` with the %-decoded `length` bytes of `text`.
bool add_pair(Parse* parse, const char* keyword, const char* text, size_t length) {
  PgUrl* url = parse->url;
  if (pg_url_value(*url, keyword) != nullptr) {
    snprintf(parse->error, parse->size, "the address gives %s twice", keyword);
    return false;
  }
  if (url->count >= kPgUrlMaxPairs || parse->used + length + 1 > sizeof url->area) {
    snprintf(parse->error, parse->size, "the address is too long");
    return false;
  }
  char* out = url->area + parse->used;
  size_t n = 0;
  for (size_t i = 0; i < length; ++i) {
    char c = text[i];
    if (c == '%') {
      int high = i + 2 < length ? hex_digit(text[i + 1]) : -1;
      int low = high >= 0 ? hex_digit(text[i + 2]) : -1;
      if (low < 0) {
        snprintf(parse->error, parse->size, "the address has a bad %%-escape in %s", keyword);
        return false;
      }
      c = static_cast<char>(high * 16 + low);
      i += 2;
    }
    if (c == '\0') {
      snprintf(parse->error, parse->size, "the address has a NUL byte in %s", keyword);
      return false;
    }
    out[n++] = c;
  }
  out[n] = '\0';
  if (n == 0) {
    snprintf(parse->error, parse->size, "the address gives an empty %s", keyword);
    return false;
  }
  url->keywords[url->count] = keyword;
  url->values[url->count++] = out;
  parse->used += n + 1;
  return true;
}

bool valid_port(const char* port) {
  int value = 0;
  for (const char* p = port; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    value = value * 10 + (*p - '0');
    if (value > 65535) return false;
  }
  return port[0] != '\0' && value > 0;
}

// USER@HOST[:PORT] (HOST may be empty, or [IPv6]).
bool parse_authority(Parse* parse, const char* text, size_t length) {
  const char* at = static_cast<const char*>(memchr(text, '@', length));
  if (at == nullptr || at == text) {
    snprintf(parse->error, parse->size, "the address names no user (postgresql://USER@HOST/DB)");
    return false;
  }
  if (memchr(text, ':', static_cast<size_t>(at - text)) != nullptr) {
    snprintf(parse->error, parse->size, "the address holds a password: give it in "
                                        "database_password_file instead");
    return false;
  }
  if (!add_pair(parse, "user", text, static_cast<size_t>(at - text))) return false;
  const char* host = at + 1;
  const char* end = text + length;
  const char* port = nullptr;
  const char* host_end = end;
  if (host < end && *host == '[') {
    const char* close = static_cast<const char*>(memchr(host, ']', static_cast<size_t>(end - host)));
    if (close == nullptr || (close + 1 < end && close[1] != ':')) {
      snprintf(parse->error, parse->size, "the address has a bad [IPv6] host");
      return false;
    }
    if (close + 1 < end) port = close + 2;
    ++host;
    host_end = close;
  } else {
    const char* colon = static_cast<const char*>(memchr(host, ':', static_cast<size_t>(end - host)));
    if (colon != nullptr) {
      port = colon + 1;
      host_end = colon;
    }
  }
  if (host_end > host && !add_pair(parse, "host", host, static_cast<size_t>(host_end - host))) {
    return false;
  }
  if (port != nullptr && !add_pair(parse, "port", port, static_cast<size_t>(end - port))) {
    return false;
  }
  return true;
}

bool parse_query(Parse* parse, const char* query) {
  static const char* const kAllowed[] = {"host", "port", "sslmode", "sslrootcert"};
  while (*query != '\0') {
    size_t length = strcspn(query, "&");
    const char* equals = static_cast<const char*>(memchr(query, '=', length));
    const char* keyword = nullptr;
    for (const char* allowed : kAllowed) {
      size_t name_length = strlen(allowed);
      if (equals != nullptr && static_cast<size_t>(equals - query) == name_length &&
          strncmp(query, allowed, name_length) == 0) {
        keyword = allowed;
      }
    }
    if (keyword == nullptr) {
      snprintf(parse->error, parse->size,
               "the address has a parameter other than host, port, sslmode and sslrootcert");
      return false;
    }
    if (!add_pair(parse, keyword, equals + 1, length - static_cast<size_t>(equals + 1 - query))) {
      return false;
    }
    query += length;
    if (*query == '&') ++query;
  }
  return true;
}

}  // namespace

const char* pg_url_value(const PgUrl& url, const char* keyword) {
  for (int i = 0; i < url.count; ++i) {
    if (strcmp(url.keywords[i], keyword) == 0) return url.values[i];
  }
  return nullptr;
}

bool pg_url_parse(const char* text, PgUrl* url, char* error, size_t size) {
  url->count = 0;
  Parse parse = {url, 0, error, size};
  const char* rest = nullptr;
  if (strncmp(text, "postgresql://", 13) == 0) rest = text + 13;
  if (strncmp(text, "postgres://", 11) == 0) rest = text + 11;
  if (rest == nullptr) {
    snprintf(error, size, "the address does not begin with postgresql://");
    return false;
  }
  size_t authority = strcspn(rest, "/?");
  if (!parse_authority(&parse, rest, authority)) return false;
  rest += authority;
  if (*rest == '/') {
    size_t name = strcspn(++rest, "?");
    if (name > 0 && !add_pair(&parse, "dbname", rest, name)) return false;
    rest += name;
  }
  if (*rest == '?' && !parse_query(&parse, rest + 1)) return false;
  const char* port = pg_url_value(*url, "port");
  if (port != nullptr && !valid_port(port)) {
    snprintf(error, size, "the address has a bad port {%s}", port);
    return false;
  }
  static const char* const kModes[] = {"disable", "allow", "prefer",
                                       "require", "verify-ca", "verify-full"};
  const char* mode = pg_url_value(*url, "sslmode");
  bool known = mode == nullptr;
  for (const char* each : kModes) known = known || strcmp(mode, each) == 0;
  if (!known) {
    snprintf(error, size, "the address has an unknown sslmode {%s}", mode);
    return false;
  }
  return true;
}
