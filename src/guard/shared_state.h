#pragma once
// The judges' memory in a PostgreSQL database that several servers share
// (shared_state): the rate limit, the duplicate window, the confirmation
// window, the CAPTCHA's replay memory and the honeypot's run times, each
// as one statement that is right however many runs meet on it (an upsert
// that counts and expires in one step, an insert that fails on a repeat).
// Keys are stored as a keyed hash (the key lies in the database), never as
// the address or the post. One connection per run, opened on first use;
// all the run's state work shares shared_state_timeout, and never runs
// past the run's deadline.
//
// Errors: as in guard/pipeline.h. The first fault of a run (no client
// library, a server down, paused or refusing, a missing table) is one
// error line; from then on every call answers "unavailable" (-1) at once
// and each judge falls back to its own rule. May use db, config, base and
// the platform's clock.

#include <cstddef>

#include "base/text.h"
#include "config/settings.h"
#include "db/pg_lib.h"
#include "guard/rate.h"

// Notes the run's deadline (os_monotonic_ms; 0: none); nothing connects yet.
void shared_state_start(const Settings& settings, long long run_deadline_ms);

// Whether the run's settings keep the judges' memory in the database.
inline bool shared_state_on(const Settings& settings) {
  return settings.shared_state != nullptr;
}

// Whether the database failed this run (the outcome line says so).
bool shared_state_unavailable();

// Closes the run's connection.
void shared_state_finish();

// One admission of `client` (rate.h's client key) under `limit` in
// `window_seconds`: 1 admitted (and counted), 0 over the limit, -1
// unavailable.
int shared_rate_admit(const Settings& settings, const char* client, int limit,
                      long long window_seconds);

// rate_window_take and rate_window_forget on the database.
int shared_window_take(const Settings& settings, RateWindowKind kind, const char* key,
                       size_t length, long long window_seconds);
void shared_window_forget(const Settings& settings, RateWindowKind kind, const char* key,
                          size_t length);

// The same on a key already digested (rate_bytes_digest's hex), as a
// message kept for -resend carries it.
int shared_window_take_digest(const Settings& settings, RateWindowKind kind, const char* digest,
                              long long window_seconds);
void shared_window_forget_digest(const Settings& settings, RateWindowKind kind,
                                 const char* digest);

// Keeps a sent run's duration; the median of the recent ones in
// microseconds (-1: none kept, or unavailable).
void shared_note_run(const Settings& settings, long long microseconds);
long long shared_median_run_us(const Settings& settings);

// The tables, their index and the hash key, as a script psql can run
// (each statement may be run again); then the rights of `role` (the
// CGI's database user): rows only, no DDL. A new buffer, the caller's.
TextBuffer* shared_state_schema(const char* role);

// The tables the CGI's user needs and the rights it needs on each, for
// -check: "SELECT, INSERT, UPDATE, DELETE" and the like.
extern const PgTableRights kSharedTableRights[];
extern const int kSharedTableCount;

// How the tables stand for the connected user: the count of tables missing
// or lacking a right, each said through `say` (a line of text); -1 when
// the database could not be asked (why in `error`).
int shared_state_tables_check(PgLink* link, void (*say)(const char* line), char* error,
                              size_t size);

// Removes every expired entry (-archive purge); false with why in `error`.
bool shared_state_purge(const Settings& settings, long long deadline_ms, char* error,
                        size_t size);
