// -check's lines on the archive, among the files the runs write (none
// without `archive`): the database opened as the --as user, its
// size, oldest record and retention; the folder and the file the CGI's
// user's own, 700 and 600 (on PostgreSQL: its tables and the rights on
// them instead).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "archive/archive.h"
#include "archive/archive_pg_schema.h"
#include "archive/archive_text.h"
#include "db/pg_lib.h"
#include "driver/check.h"
#include "platform/os.h"

// The folder's and (when it is there) the file's owner and mode.
static int check_modes(const char* path) {
  int problems = 0;
  char folder[1024];
  snprintf(folder, sizeof folder, "%s", path);
  char* slash = strrchr(folder, '/');
  if (slash == nullptr) snprintf(folder, sizeof folder, ".");
  if (slash != nullptr) *slash = '\0';
  long long size = 0;
  bool there = os_file_size(path, &size) == 0;
  const char* paths[] = {folder, path};
  for (const char* checked : paths) {
    if (checked == path && !there) continue;
    if (!os_owned_by_me(checked)) {
      problems += check_problem("%s does not belong to the user the CGI runs as", checked);
    } else if (os_readable_by_others(checked)) {
      problems += check_problem("%s can be read by other users (the folder 700, the file 600)",
                                checked);
    }
  }
  return problems;
}

static void say_table_problem(const char* line) {
  check_problem("archive: %s: run -archive init (or its script as the database's owner)", line);
}

// A shared database: the archive's tables there, with the CGI user's rights.
static int check_tables(const Settings& settings) {
  PgLink link;
  char why[kPgErrorSize];
  long long deadline = os_monotonic_ms() + settings.archive_timeout * 1000LL;
  if (!pg_connect(settings.archive, settings.database_password_file, deadline, &link, why,
                  sizeof why)) {
    return check_problem("archive: %s", why);
  }
  int wrong = archive_pg_tables_check(&link, say_table_problem, why, sizeof why);
  pg_close(&link);
  return wrong < 0 ? check_problem("archive: %s", why) : wrong;
}

int check_archive(CheckRun* run) {
  const Settings& settings = run->settings;
  if (settings.archive == nullptr) return 0;
  // Opening another user's database would leave -wal and -shm files of
  // this user beside it, which could lock the CGI out.
  char* resolved = archive_resolved_path(settings, run->ini_path);
  long long size = 0;
  bool mine = os_file_size(resolved, &size) != 0 || os_owned_by_me(resolved);
  bool server = archive_is_database_url(resolved);
  free(resolved);
  if (server) {
    int wrong = check_tables(settings);
    if (wrong > 0) return wrong;
  }
  Archive archive;
  if (!mine) {
    return check_problem("archive %s belongs to another user: not opened (check it with --as "
                         "that user)", settings.archive);
  }
  if (!archive_open(settings, run->ini_path, settings.archive_timeout * 1000, &archive, false)) {
    if (!archive.missing) return check_problem("%s", archive.error);
    check_say("%s", archive.error);
    return check_modes(archive.path);
  }
  ArchiveFacts facts;
  bool read = archive_facts(&archive, &facts);
  char path[sizeof archive.path];
  snprintf(path, sizeof path, "%s", archive.path);
  if (!read) {
    int problem = check_problem("%s", archive.error);
    archive_close(&archive);
    return problem;
  }
  archive_close(&archive);
  check_say("archive %s: %lld record%s, %lld KB", server ? settings.archive : path, facts.records,
            facts.records == 1 ? "" : "s", (facts.file_bytes + 1023) / 1024);
  if (facts.records > 0) {
    char oldest[32];
    archive_time_text(facts.oldest, oldest, sizeof oldest);
    check_say("oldest record: %s", oldest);
  }
  if (settings.archive_keep_days > 0) {
    check_say("records are kept %d days (archive_keep_days)", settings.archive_keep_days);
  } else {
    check_say("records are kept for ever (no archive_keep_days)");
  }
  return server ? 0 : check_modes(path);
}
