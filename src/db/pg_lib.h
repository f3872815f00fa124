#pragma once
// The PostgreSQL client (libpq.so.5), opened on first use, and one
// connection to a database: made and used without ever blocking past the
// caller's deadline (the client's own connect_timeout counts whole
// seconds per address tried), so that a stopped, paused or slow server
// costs the run no more than the time it gave. The password comes from
// the caller's file alone: the client's own sources (PGPASSWORD,
// PGPASSFILE, ~/.pgpass, the other PG* variables) are kept out. Errors as
// in db/pg_url.h; may use base and the platform.

#include <cstddef>

#include "db/pg_url.h"

struct PgLink {
  void* conn;            // the client's connection; null: none
  long long deadline_ms; // no call waits past it (os_monotonic_ms time)
};

// Whether the client library can be opened; when not, why in `error`
// ("PostgreSQL client library not available (libpq.so.5: ...)").
bool pg_library_ready(char* error, size_t size);

// The client library's version as 150005; 0 when it is not loaded.
int pg_library_version();

// Connects to `url_text` with the password of `password_file` (its first
// line; null or "": none), waiting no later than `deadline_ms`. False with
// why in `error`; the link is then closed.
bool pg_connect(const char* url_text, const char* password_file, long long deadline_ms,
                PgLink* link, char* error, size_t size);

// What a statement answered: the rows it returned, the first column of
// the first (null when none or SQL NULL), and the SQLSTATE of a failure.
constexpr size_t kPgValueSize = 256;
struct PgAnswer {
  int rows;
  bool has_value;
  char value[kPgValueSize];
  char state[6];  // "42P01": no such table; "" when the statement ran
};

// Runs one statement with `count` text parameters ($1...), waiting no
// later than the link's deadline. False with why in `error` (the link is
// closed when it can no longer be used: a time-out or a lost server).
bool pg_query(PgLink* link, const char* sql, const char* const* params, int count,
              PgAnswer* answer, char* error, size_t size);

// Runs one statement as pg_query does, handing its rows to `each` one at
// a time as they arrive (the client keeps one row, whatever the count):
// `values` are the row's columns as text, null for SQL NULL, valid during
// the call only. `each` returns false to hear no more rows. The link's
// time is for each row: it starts again as each one arrives.
using PgRowFn = bool (*)(const char* const* values, int columns, void* context);
bool pg_query_rows(PgLink* link, const char* sql, const char* const* params, int count,
                   PgRowFn each, void* context, char* error, size_t size);

// Runs a script of several statements (no parameters) as one.
bool pg_script(PgLink* link, const char* sql, char* error, size_t size);

// Closes the connection; a closed link is allowed and does nothing.
void pg_close(PgLink* link);

// A table a database user needs, and the rights it needs on it
// ("SELECT, INSERT").
struct PgTableRights {
  const char* table;
  const char* rights;
};

// Whether each of `tables` is there and the connected user holds each of
// its rights: `say` gets one line for each that is not. Returns how many
// are wrong, or -1 with the reason in `error` when the database cannot be
// asked.
int pg_tables_check(PgLink* link, const PgTableRights* tables, int count,
                    void (*say)(const char* line), char* error, size_t size);
