// -check's lines on the shared state (shared_state): the connection as the
// CGI's user makes it, the tables and the rights on them, a round trip.
#include <cstdio>

#include "db/pg_lib.h"
#include "driver/check.h"
#include "guard/shared_state.h"
#include "platform/os.h"

static void say_problem(const char* line) {
  check_problem("shared_state: %s: run -archive init (or its script as the database's owner)",
                line);
}

int check_shared_state(CheckRun* run) {
  const Settings& settings = run->settings;
  int kept = 0;
  if (settings.shared_state_unreachable_keep && settings.spool_folder == nullptr) {
    kept = check_problem("shared_state_unreachable keep: no spool_folder to keep a message in; "
                         "such a run sends it unjudged, as with send");
  }
  char why[kPgErrorSize];
  if (!pg_library_ready(why, sizeof why)) {
    return kept + check_problem("shared_state: %s; this build cannot use the database", why);
  }
  PgLink link;
  long long started = os_monotonic_ms();
  long long deadline = started + settings.shared_state_timeout * 1000LL;
  if (!pg_connect(settings.shared_state, settings.database_password_file, deadline, &link, why,
                  sizeof why)) {
    return kept + check_problem("shared_state: %s", why);
  }
  long long connected = os_monotonic_ms();
  PgAnswer answer;
  long long asked = os_monotonic_ms();
  bool answered = pg_query(&link, "SELECT 1", nullptr, 0, &answer, why, sizeof why);
  long long round_trip = os_monotonic_ms() - asked;
  int problems = kept;
  if (!answered) {
    problems += check_problem("shared_state: %s", why);
  } else {
    check_say("shared_state: connected in %lld ms, a round trip takes %lld ms (client %d)",
              connected - started, round_trip, pg_library_version());
    int wrong = shared_state_tables_check(&link, say_problem, why, sizeof why);
    problems += wrong < 0 ? check_problem("shared_state: %s", why) : wrong;
  }
  pg_close(&link);
  return problems;
}
