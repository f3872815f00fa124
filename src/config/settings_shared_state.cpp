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

// `send`: a run whose database cannot be used mails as it would without
// it; `keep`: the message waits in the spool for -resend to judge it
// against the database (without a spool it is sent, said by the run and
// by -check).
int set_shared_state_unreachable(Settings* settings, const char*, const char* rest,
                                 const FieldLookup&) {
  if (strcmp(rest, "send") == 0 || strcmp(rest, "keep") == 0) {
    settings->shared_state_unreachable_keep = strcmp(rest, "keep") == 0;
    return 1;
  }
  log_event(LOG_ERROR, "shared_state_unreachable {%s} is neither send nor keep; keeping %s.",
            rest, settings->shared_state_unreachable_keep ? "keep" : "send");
  return 0;
}
