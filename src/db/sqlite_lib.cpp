// The SQLite library's functions, bound on first use.
#include "db/sqlite_lib.h"

#include <cstdio>
#include <cstring>

#include "platform/library.h"

SqliteLib g_sqlite;

namespace {

// Windows 10 and later have winsqlite3.dll in the system folder; a
// sqlite3.dll beside the program serves older ones.
const char* const kDllNames[] = {"winsqlite3.dll", "sqlite3.dll", nullptr};
const char* const kElfNames[] = {"libsqlite3.so.0", nullptr};
const char* const* const kNames = kOsLibrariesAreDlls ? kDllNames : kElfNames;
const char* const kShownName = kOsLibrariesAreDlls ? "sqlite3.dll" : "libsqlite3.so.0";

int g_state = 0;  // 0 not tried, 1 loaded, -1 failed (g_failure says why)
char g_failure[400];

template <typename F>
bool bind(void* library, const char* name, F* slot) {
  void* address = os_library_symbol(library, name);
  if (address == nullptr) {
    snprintf(g_failure, sizeof g_failure, "%s has no function %s", kShownName, name);
    return false;
  }
  memcpy(slot, &address, sizeof address);
  return true;
}

bool bind_all(void* l) {
  SqliteLib& s = g_sqlite;
  return bind(l, "sqlite3_open_v2", &s.open_v2) && bind(l, "sqlite3_close_v2", &s.close_v2) &&
         bind(l, "sqlite3_exec", &s.exec) && bind(l, "sqlite3_prepare_v2", &s.prepare_v2) &&
         bind(l, "sqlite3_step", &s.step) && bind(l, "sqlite3_reset", &s.reset) &&
         bind(l, "sqlite3_finalize", &s.finalize) && bind(l, "sqlite3_bind_text", &s.bind_text) &&
         bind(l, "sqlite3_bind_blob", &s.bind_blob) &&
         bind(l, "sqlite3_bind_int64", &s.bind_int64) &&
         bind(l, "sqlite3_bind_double", &s.bind_double) &&
         bind(l, "sqlite3_bind_null", &s.bind_null) &&
         bind(l, "sqlite3_column_text", &s.column_text) &&
         bind(l, "sqlite3_column_bytes", &s.column_bytes) &&
         bind(l, "sqlite3_column_int64", &s.column_int64) &&
         bind(l, "sqlite3_column_type", &s.column_type) &&
         bind(l, "sqlite3_busy_timeout", &s.busy_timeout) &&
         bind(l, "sqlite3_db_config", &s.db_config) &&
         bind(l, "sqlite3_changes", &s.changes) && bind(l, "sqlite3_errmsg", &s.errmsg) &&
         bind(l, "sqlite3_free", &s.free) &&
         bind(l, "sqlite3_wal_checkpoint_v2", &s.wal_checkpoint_v2);
}

}  // namespace

bool sqlite_lib_load(char* why, size_t size) {
  if (g_state == 0) {
    char reason[300];
    void* library = os_library_open(kNames, reason, sizeof reason);
    if (library == nullptr) {
      if (kOsLibrariesAreDlls) {
        snprintf(g_failure, sizeof g_failure, "the archive needs sqlite3.dll (%s)", reason);
      } else {
        snprintf(g_failure, sizeof g_failure, "the SQLite library cannot be loaded (%s)", reason);
      }
      g_state = -1;
    } else {
      g_state = bind_all(library) ? 1 : -1;
    }
  }
  if (g_state < 0) snprintf(why, size, "%s", g_failure);
  return g_state > 0;
}
