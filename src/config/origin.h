#pragma once
// Web origins (scheme, host and port) as the Origin and Referer headers name
// them, and the allowed_origin entries they are matched against. Pure text
// functions: may use src/base only. Errors: false for a text that names no
// origin; nothing here logs.

#include <cstddef>

// A host name has at most 253 characters; an IPv6 address in brackets fewer.
constexpr size_t kHostArea = 256;

// The origin of a URL: its scheme in lower case, its host as written and its
// port (the one given, else 80 for http and 443 for https, else 0).
struct WebOrigin {
  char scheme[32];
  char host[kHostArea];
  int port;
};

// The host that an Origin or Referer value names, e.g. "www.example.com" of
// "https://www.example.com:8443/form.html", into `host` (`size` bytes).
// False for a value that names no host ("null", no "scheme://", an empty
// or overlong host).
bool origin_host(const char* url, char* host, size_t size);

// Whether two host names are the same, ASCII case and one final dot
// ignored: how allowed_origin values are matched.
bool same_host(const char* a, const char* b);

// The origin of `url` (anything after the host and port is ignored). False
// when it names no host, its scheme is longer than 31 characters, or its
// port is not a number from 1 to 65535 (an empty port is the default one).
bool web_origin_parse(const char* url, WebOrigin* out);

// Whether `entry` is an allowed_origin value this program can read: a host
// ("www.example.com", "[::1]": any scheme and port), "host:port" (any
// scheme) or "scheme://host[:port]" (exactly that origin, nothing after it).
bool origin_entry_readable(const char* entry);

// Whether `origin` is one that `entry` allows; an entry that cannot be read
// allows none.
bool origin_entry_matches(const char* entry, const WebOrigin& origin);

// Whether any of the `count` entries allows `origin`.
bool origin_allowed(char* const* entries, int count, const WebOrigin& origin);
