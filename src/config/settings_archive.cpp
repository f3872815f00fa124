// The archive's keys: where the records lie (an SQLite file, or a
// postgresql:// database), how much of a submission they keep and for how
// long.
#include <cstring>

#include "base/log.h"
#include "config/settings_keys.h"
#include "db/pg_url.h"
#include "platform/dynlib.h"

// A path is taken as it is; a database address only when this build can
// load the client library and the address holds no password (it is never
// logged: it may hold one).
int set_archive(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  bool server = strncmp(rest, "postgresql://", 13) == 0 || strncmp(rest, "postgres://", 11) == 0;
  const char* kept = settings->archive != nullptr ? "the archive before" : "no archive";
  if (server && !os_libraries_loadable()) {
    log_event(LOG_ERROR,
              "archive cannot be on PostgreSQL: this build cannot load the PostgreSQL client "
              "library (libpq); keeping %s.",
              kept);
    return 0;
  }
  PgUrl url;
  char why[kPgErrorSize];
  if (server && !pg_url_parse(rest, &url, why, sizeof why)) {
    log_event(LOG_ERROR, "archive is refused: {%s}; keeping %s.", why, kept);
    return 0;
  }
  replace_text(&settings->archive, rest);
  return 1;
}

constexpr int kMaxArchiveTimeout = 60;
constexpr int kMaxArchiveKeepDays = 36500;

int set_archive_ip(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  static const char* const kWords[] = {"hash", "full", "none"};
  for (int i = 0; i < 3; ++i) {
    if (strcmp(rest, kWords[i]) == 0) {
      settings->archive_ip = i;
      return 1;
    }
  }
  log_event(LOG_ERROR, "archive_ip {%s} is not hash, full or none; keeping %s.", rest,
            kWords[settings->archive_ip]);
  return 0;
}

static int set_flag(bool* slot, const char* key, const char* rest) {
  if (strcmp(rest, "true") == 0 || strcmp(rest, "false") == 0) {
    *slot = strcmp(rest, "true") == 0;
    return 1;
  }
  log_event(LOG_ERROR, "%s{%s} is not true or false; keeping %s.", key, rest,
            *slot ? "true" : "false");
  return 0;
}

int set_archive_user_agent(Settings* settings, const char*, const char* rest,
                           const FieldLookup&) {
  return set_flag(&settings->archive_user_agent, "archive_user_agent ", rest);
}

int set_archive_files(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  return set_flag(&settings->archive_files, "archive_files ", rest);
}

int set_archive_timeout(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  return set_bounded_number(&settings->archive_timeout, "archive_timeout ", rest, 1,
                            kMaxArchiveTimeout, " of seconds");
}

int set_archive_keep_days(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  return set_bounded_number(&settings->archive_keep_days, "archive_keep_days ", rest, 0,
                            kMaxArchiveKeepDays, " of days");
}
