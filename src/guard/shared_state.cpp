#include "guard/shared_state.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "db/pg_lib.h"
#include "platform/os.h"

namespace {

enum class Link { kIdle, kOpen, kFailed };

// The run's connection: process-wide, as one run is one process.
struct SharedRun {
  Link state;
  PgLink link;
  long long run_deadline_ms;
  long long spent_ms;  // the run's state work so far, connecting included
};
SharedRun g_shared;

// The stored key of a text: the database's secret over its digest.
#define STORED_KEY(param) "sha256((SELECT secret FROM quillon_state_key) || decode(" param ", 'hex'))"

// At most this many expired rows of other keys go with each write.
#define SWEEP "LIMIT 4 FOR UPDATE SKIP LOCKED"

// $1 key digest, $2 window seconds, $3 limit. The row keeps the times of
// the admissions within the window; an admission is counted only when
// fewer than the limit are kept, under the row's lock.
const char kAdmitSql[] =
    "WITH k AS (SELECT " STORED_KEY("$1") " AS key),"
    " gone AS (DELETE FROM quillon_rate WHERE key IN (SELECT key FROM quillon_rate"
    " WHERE expires < now() AND key <> (SELECT key FROM k) " SWEEP "))"
    " INSERT INTO quillon_rate AS r (key, stamps, admitted, expires)"
    " VALUES ((SELECT key FROM k), ARRAY[(extract(epoch FROM clock_timestamp()) * 1000000)::bigint],"
    " true, clock_timestamp() + make_interval(secs => $2::int))"
    " ON CONFLICT (key) DO UPDATE SET"
    " admitted = cardinality(ARRAY(SELECT s FROM unnest(r.stamps) s"
    "   WHERE s > EXCLUDED.stamps[1] - $2::bigint * 1000000)) < $3::int,"
    " stamps = ARRAY(SELECT s FROM unnest(r.stamps) s"
    "   WHERE s > EXCLUDED.stamps[1] - $2::bigint * 1000000 ORDER BY s)"
    "   || CASE WHEN cardinality(ARRAY(SELECT s FROM unnest(r.stamps) s"
    "   WHERE s > EXCLUDED.stamps[1] - $2::bigint * 1000000)) < $3::int"
    "   THEN EXCLUDED.stamps ELSE '{}'::bigint[] END,"
    " expires = CASE WHEN cardinality(ARRAY(SELECT s FROM unnest(r.stamps) s"
    "   WHERE s > EXCLUDED.stamps[1] - $2::bigint * 1000000)) < $3::int"
    "   THEN EXCLUDED.expires ELSE r.expires END"
    " RETURNING admitted";

// $1 kind, $2 key digest, $3 window seconds: a row back when the key is
// new or its entry had expired (recorded now); none when it was seen.
const char kTakeSql[] =
    "WITH k AS (SELECT " STORED_KEY("$2") " AS key),"
    " gone AS (DELETE FROM quillon_seen WHERE (kind, key) IN (SELECT kind, key FROM quillon_seen"
    " WHERE expires < now() AND NOT (kind = $1::smallint AND key = (SELECT key FROM k)) " SWEEP "))"
    " INSERT INTO quillon_seen AS s (kind, key, expires)"
    " VALUES ($1::smallint, (SELECT key FROM k), clock_timestamp() + make_interval(secs => $3::int))"
    " ON CONFLICT (kind, key) DO UPDATE SET expires = EXCLUDED.expires"
    " WHERE s.expires <= clock_timestamp()"
    " RETURNING 1";

const char kForgetSql[] =
    "DELETE FROM quillon_seen WHERE kind = $1::smallint AND key = " STORED_KEY("$2");

const char kNoteRunSql[] =
    "INSERT INTO quillon_run_times (slot, micros)"
    " VALUES (nextval('quillon_run_slot') % 32, $1::bigint)"
    " ON CONFLICT (slot) DO UPDATE SET micros = EXCLUDED.micros";

const char kMedianSql[] =
    "SELECT percentile_disc(0.5) WITHIN GROUP (ORDER BY micros) FROM quillon_run_times";

const char kPurgeSql[] =
    "DELETE FROM quillon_rate WHERE expires < now();"
    " DELETE FROM quillon_seen WHERE expires < now();";

// The one error line of a run whose state cannot be used.
void fail(const char* why) {
  g_shared.state = Link::kFailed;
  pg_close(&g_shared.link);
  log_event(LOG_ERROR,
            "shared_state: the database cannot be used: {%s}; the judges go on without it.", why);
}

// The end of the next step: what is left of shared_state_timeout (the time
// between steps, a slow mail server's, does not count), never past the
// run's deadline.
long long step_deadline(const Settings& settings, long long now) {
  long long deadline = now + settings.shared_state_timeout * 1000LL - g_shared.spent_ms;
  if (g_shared.run_deadline_ms > 0 && g_shared.run_deadline_ms < deadline) {
    deadline = g_shared.run_deadline_ms;
  }
  return deadline;
}

bool ready(const Settings& settings, long long started) {
  if (g_shared.state == Link::kOpen) return true;
  if (g_shared.state == Link::kFailed) return false;
  char why[kPgErrorSize];
  if (!pg_connect(settings.shared_state, settings.database_password_file,
                  step_deadline(settings, started), &g_shared.link, why, sizeof why)) {
    fail(why);
    return false;
  }
  g_shared.state = Link::kOpen;
  return true;
}

// Runs a statement of the run's state work; false (logged once) when the
// state cannot be used.
bool run(const Settings& settings, const char* sql, const char* const* params, int count,
         PgAnswer* answer) {
  long long started = os_monotonic_ms();
  if (!ready(settings, started)) return false;
  g_shared.link.deadline_ms = step_deadline(settings, started);
  char why[kPgErrorSize];
  bool done = pg_query(&g_shared.link, sql, params, count, answer, why, sizeof why);
  g_shared.spent_ms += os_monotonic_ms() - started;
  if (!done) fail(why);
  return done;
}

void digest(const char* key, size_t length, char* out) { rate_bytes_digest(key, length, out); }

const char* kind_text(RateWindowKind kind) {
  // The replay memory shares the duplicate window's rows: its keys carry a
  // prefix of their own.
  return kind == RateWindowKind::kAutoreply ? "2" : "1";
}

}  // namespace

void shared_state_start(const Settings&, long long run_deadline_ms) {
  g_shared.run_deadline_ms = run_deadline_ms;
  g_shared.spent_ms = 0;
}

bool shared_state_unavailable() { return g_shared.state == Link::kFailed; }

void shared_state_finish() {
  pg_close(&g_shared.link);
  if (g_shared.state == Link::kOpen) g_shared.state = Link::kIdle;
}

int shared_rate_admit(const Settings& settings, const char* client, int limit,
                      long long window_seconds) {
  char key[kRateDigestSize];
  digest(client, strlen(client), key);
  char window[24];
  char most[16];
  snprintf(window, sizeof window, "%lld", window_seconds);
  snprintf(most, sizeof most, "%d", limit);
  const char* params[] = {key, window, most};
  PgAnswer answer;
  if (!run(settings, kAdmitSql, params, 3, &answer)) return -1;
  return answer.has_value && answer.value[0] == 't' ? 1 : 0;
}

int shared_window_take(const Settings& settings, RateWindowKind kind, const char* key,
                       size_t length, long long window_seconds) {
  char stored[kRateDigestSize];
  digest(key, length, stored);
  return shared_window_take_digest(settings, kind, stored, window_seconds);
}

int shared_window_take_digest(const Settings& settings, RateWindowKind kind, const char* stored,
                              long long window_seconds) {
  if (window_seconds <= 0) return 0;
  char window[24];
  snprintf(window, sizeof window, "%lld", window_seconds);
  const char* params[] = {kind_text(kind), stored, window};
  PgAnswer answer;
  if (!run(settings, kTakeSql, params, 3, &answer)) return -1;
  return answer.rows > 0 ? 0 : 1;
}

void shared_window_forget(const Settings& settings, RateWindowKind kind, const char* key,
                          size_t length) {
  char stored[kRateDigestSize];
  digest(key, length, stored);
  shared_window_forget_digest(settings, kind, stored);
}

void shared_window_forget_digest(const Settings& settings, RateWindowKind kind,
                                 const char* stored) {
  const char* params[] = {kind_text(kind), stored};
  PgAnswer answer;
  (void)run(settings, kForgetSql, params, 2, &answer);
}

void shared_note_run(const Settings& settings, long long microseconds) {
  char value[24];
  snprintf(value, sizeof value, "%lld", microseconds < 1 ? 1 : microseconds);
  const char* params[] = {value};
  PgAnswer answer;
  (void)run(settings, kNoteRunSql, params, 1, &answer);
}

long long shared_median_run_us(const Settings& settings) {
  PgAnswer answer;
  if (!run(settings, kMedianSql, nullptr, 0, &answer) || !answer.has_value) return -1;
  return strtoll(answer.value, nullptr, 10);
}

bool shared_state_purge(const Settings& settings, long long deadline_ms, char* error,
                        size_t size) {
  PgLink link;
  if (!pg_connect(settings.shared_state, settings.database_password_file, deadline_ms, &link,
                  error, size)) {
    return false;
  }
  bool done = pg_script(&link, kPurgeSql, error, size);
  pg_close(&link);
  return done;
}
