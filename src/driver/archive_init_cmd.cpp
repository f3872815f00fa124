#include "driver/archive_init_cmd.h"

#include <cstdio>
#include <cstring>

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

// The whole script: the shared state's tables, then the archive's.
TextBuffer* init_script(const Settings& settings) {
  PgUrl url;
  char why[kPgErrorSize];
  const char* role = pg_url_parse(settings.shared_state, &url, why, sizeof why)
                         ? pg_url_value(url, "user")
                         : "quillon";
  TextBuffer* script = shared_state_schema(role);
  // The archive's tables on PostgreSQL follow here, in the same script.
  return script;
}

void say_comment(const char* line) { printf("-- archive init: %s.\n", line); }

// Runs the script unless every table is there with the user's rights
// (the CGI's user may not create tables: a second init is no failure).
bool run_script(const Settings& settings, const char* script, char* why, size_t size) {
  PgLink link;
  long long deadline = os_monotonic_ms() + kInitWaitMs;
  if (!pg_connect(settings.shared_state, settings.database_password_file, deadline, &link, why,
                  size)) {
    return false;
  }
  bool done = shared_state_tables_check(&link, say_comment, why, size) == 0;
  if (done) printf("-- archive init: the tables are there already; nothing changed.\n");
  if (!done && link.conn != nullptr) done = pg_script(&link, script, why, size);
  pg_close(&link);
  return done;
}

int init_with(const Settings& settings, bool sql_only) {
  if (settings.shared_state == nullptr) {
    printf("-- archive init: the settings name no postgresql:// database (shared_state); "
           "nothing to create.\n");
    return 3;
  }
  TextBuffer* script = init_script(settings);
  printf("%s", script->data);
  fflush(stdout);
  int code = 0;
  char why[kPgErrorSize] = "";
  if (!sql_only && run_script(settings, script->data, why, sizeof why)) {
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
