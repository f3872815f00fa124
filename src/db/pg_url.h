#pragma once
// A postgresql:// address as the settings give it, turned into the
// keyword/value pairs the database client connects with. Only what the
// owner can say safely is taken: the user, the host (a name, an address,
// [IPv6], or a socket folder as ?host=/DIR), the port, the database, and
// ?sslmode= / ?sslrootcert= / ?port= / ?host=. A password in the address is
// refused: it comes from database_password_file alone.
//
// Errors in src/db: a call that can fail returns false (or null) with the
// reason in the caller's `error` area, worded for a log line, never holding
// the password; nothing here logs. May use base and the platform's library
// loader, clock and environment; knows nothing of settings or judges.

#include <cstddef>

constexpr int kPgUrlMaxPairs = 8;
constexpr size_t kPgUrlArea = 2048;
constexpr size_t kPgErrorSize = 512;

struct PgUrl {
  int count;
  const char* keywords[kPgUrlMaxPairs];
  const char* values[kPgUrlMaxPairs];  // point into `area`
  char area[kPgUrlArea];
};

// Parses `text` ("postgresql://USER@HOST:PORT/DB?sslmode=verify-full").
// False, with why in `error` (`size` bytes), for another scheme, a
// password, no user, an unknown or repeated parameter, a bad %-escape or
// port, or an address too long.
bool pg_url_parse(const char* text, PgUrl* url, char* error, size_t size);

// The value of `keyword` in a parsed address; null when it gives none.
const char* pg_url_value(const PgUrl& url, const char* keyword);
