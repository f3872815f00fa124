#include "driver/archive_init_cmd.h"

#include <cstdio>
#include <cstring>

#include "archive/archive.h"
#include "archive/archive_pg_schema.h"
#include "base/program.h"
#include "base/text.h"
#include "config/settings.h"
#include "db/pg_lib.h"
#include "db/pg_url.h"
#include "guard/shared_state.h"
#include "platform/os.h"

namespace {

// The owner's command may wait longer than a run: the script takes locks.
constexpr long long kInitWaitMs = 20000;

// The databases the settings name: the shared state's and the archive's
// (null when that one is not on PostgreSQL; often the same database).
struct Targets {
  const char* shared;
  const char* archive;
};

bool same_database(const Targets& t) {
  return t.shared != nullptr && t.archive != nullptr && strcmp(t.shared, t.archive) == 0;
}

// The user the GRANT lines name: the address's own.
const char* role_of(const char* address) {
  static PgUrl url;
  char why[kPgErrorSize];
  const char* role = pg_url_parse(address, &url, why, sizeof why) ? pg_url_value(url, "user")
                                                                  : nullptr;
  return role != nullptr ? role : "quillon";
}

// The script for `address`: the shared state's tables, then the archive's,
// each when that part lives there.
TextBuffer* init_script(const Targets& t, const char* address) {
  TextBuffer* script = text_buffer_new("");
  if (t.shared != nullptr && strcmp(t.shared, address) == 0) {
    TextBuffer* part = shared_state_schema(role_of(address));
    text_buffer_append(script, "%s", part->data);
    text_buffer_free(part);
  }
  if (t.archive != nullptr && strcmp(t.archive, address) == 0) {
    TextBuffer* part = archive_pg_schema(role_of(address));
    text_buffer_append(script, "%s", part->data);
    text_buffer_free(part);
  }
  return script;
}

void say_comment(const char* line) { printf("-- archive init: %s.\n", line); }

// Runs the script unless every table is there with the user's rights
// (the CGI's user may not create tables: a second init is no failure).
bool run_script(const Settings& settings, const Targets& t, const char* address,
                const char* script, char* why, size_t size) {
  PgLink link;
  long long deadline = os_monotonic_ms() + kInitWaitMs;
  if (!pg_connect(address, settings.database_password_file, deadline, &link, why, size)) {
    return false;
  }
  int wrong = 0;
  if (t.shared != nullptr && strcmp(t.shared, address) == 0) {
    wrong = shared_state_tables_check(&link, say_comment, why, size);
  }
  if (wrong >= 0 && t.archive != nullptr && strcmp(t.archive, address) == 0) {
    int missing = archive_pg_tables_check(&link, say_comment, why, size);
    wrong = missing < 0 ? -1 : wrong + missing;
  }
  bool done = wrong == 0;
  if (done) printf("-- archive init: the tables are there already; nothing changed.\n");
  if (!done && link.conn != nullptr) done = pg_script(&link, script, why, size);
  pg_close(&link);
  return done;
}

// Prints the script of one database and, without --sql, runs it there.
int init_one(const Settings& settings, const Targets& t, const char* address, bool sql_only) {
  TextBuffer* script = init_script(t, address);
  printf("%s", script->data);
  fflush(stdout);
  int code = 0;
  char why[kPgErrorSize] = "";
  if (!sql_only && run_script(settings, t, address, script->data, why, sizeof why)) {
    printf("-- archive init: done.\n");
  } else if (!sql_only) {
    printf("-- archive init: not done: %s\n"
           "-- Run the script above as the database's owner (psql -f), then -check.\n",
           why);
    code = 3;
  }
  text_buffer_free(script);
  fflush(stdout);
  return code;
}

int init_with(const Settings& settings, bool sql_only) {
  Targets t = {settings.shared_state, nullptr};
  if (settings.archive != nullptr && archive_is_database_url(settings.archive)) {
    t.archive = settings.archive;
  }
  if (t.shared == nullptr && t.archive == nullptr) {
    printf("-- archive init: the settings name no postgresql:// database (shared_state, "
           "archive); nothing to create.\n");
    return 3;
  }
  // Two databases: each its own script, the second headed by a comment.
  int code = init_one(settings, t, t.shared != nullptr ? t.shared : t.archive, sql_only);
  if (t.shared != nullptr && t.archive != nullptr && !same_database(t)) {
    printf("-- The archive's database: %s\n", t.archive);
    int second = init_one(settings, t, t.archive, sql_only);
    if (code == 0) code = second;
  }
  return code;
}

}  // namespace

int archive_init_command(int argc, char** argv) {
  bool sql_only = argc == 4 && strcmp(argv[3], "--sql") == 0;
  if (strcmp(argv[2], "init") != 0 || (argc == 4 && !sql_only)) {
    printf("usage: %s -archive init [--sql]\n", argv[0]);
    return 3;
  }
  Settings settings;
  if (!settings_read(g_program.ini_path, FieldLookup{nullptr, nullptr}, &settings)) {
    printf("-- archive init: the settings file %s cannot be opened.\n", g_program.ini_path);
    return 3;
  }
  int code = init_with(settings, sql_only);
  settings_free(&settings);
  return code;
}
