// The keys of the judges' memory shared in a PostgreSQL database:
// shared_state, shared_state_timeout, shared_state_unreachable (and the
// database_password_file text key of the reader's table).
#include <cstring>

#include "base/log.h"
#include "config/settings_keys.h"
#include "db/pg_url.h"
#include "platform/dynlib.h"

int set_shared_state(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  const char* kept = settings->shared_state != nullptr ? "the address before" : "the state file";
  // The address itself is never logged: it may hold a password.
  if (!os_libraries_loadable()) {
    log_event(LOG_ERROR,
              "shared_state cannot be used: this build cannot load the PostgreSQL client "
              "library (libpq); keeping %s.",
              kept);
    return 0;
  }
  PgUrl url;
  char why[kPgErrorSize];
  if (!pg_url_parse(rest, &url, why, sizeof why)) {
    log_event(LOG_ERROR, "shared_state is refused: {%s}; keeping %s.", why, kept);
    return 0;
  }
  replace_text(&settings->shared_state, rest);
  return 1;
}

int set_shared_state_timeout(Settings* settings, const char*, const char* rest,
                             const FieldLookup&) {
  return set_bounded_number(&settings->shared_state_timeout, "shared_state_timeout ", rest, 1, 60,
                            " of seconds");
}

// `send` alone for now: a run whose database cannot be used mails as it
// would without it. Keeping such a post in the spool for -resend to judge
// is not built yet, and is refused rather than taken silently.
int set_shared_state_unreachable(Settings*, const char*, const char* rest, const FieldLookup&) {
  if (strcmp(rest, "send") == 0) return 1;
  log_event(LOG_ERROR, "shared_state_unreachable {%s} is not send, the one choice this version "
            "has; keeping send.", rest);
  return 0;
}
