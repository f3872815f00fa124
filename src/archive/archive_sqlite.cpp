// The archive in an SQLite database file: created by the program itself
// with mode 600 (the -wal and -shm files take the database's mode), in WAL
// mode with synchronous=NORMAL (a record survives the process's crash; a
// power cut may lose the last ones), a busy timeout so that concurrent
// runs wait for each other rather than fail, and secure_delete so that an
// erased record's bytes do not stay in free pages.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "archive/archive_sqlite.h"
#include "archive/archive_schema.h"
#include "archive/archive_text.h"
#include "db/sqlite_lib.h"
#include "platform/os.h"

sqlite3* sqlite_db(Archive* archive) { return static_cast<sqlite3*>(archive->handle); }

bool sqlite_fail(Archive* archive, const char* doing) {
  const char* why = archive->handle != nullptr ? g_sqlite.errmsg(sqlite_db(archive)) : "no database";
  snprintf(archive->error, sizeof archive->error, "archive %s: %s: %s", archive->path, doing, why);
  return false;
}

bool sqlite_run(Archive* archive, const char* sql, const char* doing) {
  char* message = nullptr;
  int rc = g_sqlite.exec(sqlite_db(archive), sql, nullptr, nullptr, &message);
  if (rc == kSqliteOk) return true;
  snprintf(archive->error, sizeof archive->error, "archive %s: %s: %s", archive->path, doing,
           message != nullptr ? message : g_sqlite.errmsg(sqlite_db(archive)));
  g_sqlite.free(message);
  return false;
}

namespace {

sqlite3* db_of(Archive* archive) { return sqlite_db(archive); }
bool fail(Archive* archive, const char* doing) { return sqlite_fail(archive, doing); }
bool run_sql(Archive* archive, const char* sql, const char* doing) {
  return sqlite_run(archive, sql, doing);
}

// The one integer a statement gives (0 when it gives none); -1 on failure.
long long single_number(Archive* archive, const char* sql) {
  sqlite3_stmt* statement = nullptr;
  if (g_sqlite.prepare_v2(db_of(archive), sql, -1, &statement, nullptr) != kSqliteOk) return -1;
  int rc = g_sqlite.step(statement);
  long long value = rc == kSqliteRow ? g_sqlite.column_int64(statement, 0) : 0;
  g_sqlite.finalize(statement);
  return rc == kSqliteRow || rc == kSqliteDone ? value : -1;
}

bool make_tables(Archive* archive) {
  long long version = single_number(archive, "PRAGMA user_version");
  if (version < 0) return fail(archive, "cannot be read");
  if (version == kArchiveSchemaVersion) return true;
  if (version > kArchiveSchemaVersion) {
    snprintf(archive->error, sizeof archive->error,
             "archive %s: its tables are of version %lld, newer than this program's %d",
             archive->path, version, kArchiveSchemaVersion);
    return false;
  }
  if (!run_sql(archive, "BEGIN IMMEDIATE", "cannot be locked")) return false;
  // Another run may have made them while this one waited.
  if (single_number(archive, "PRAGMA user_version") == kArchiveSchemaVersion) {
    return run_sql(archive, "COMMIT", "cannot be written");
  }
  char version_sql[64];
  snprintf(version_sql, sizeof version_sql, "PRAGMA user_version = %d", kArchiveSchemaVersion);
  if (!run_sql(archive, kArchiveSchemaSql, "its tables cannot be made") ||
      !run_sql(archive, version_sql, "its tables cannot be made")) {
    run_sql(archive, "ROLLBACK", "cannot be rolled back");
    return false;
  }
  return run_sql(archive, "COMMIT", "cannot be written");
}

bool sqlite_open(Archive* archive, const char* target, int wait_ms, bool create) {
  if (!sqlite_lib_load(archive->error, sizeof archive->error)) return false;
  // Made here with mode 600, so that the -wal and -shm files are 600 too.
  if (create) {
    int err = os_write_new_file(target, "", 0, false);
    if (err != 0 && err != EEXIST) {
      snprintf(archive->error, sizeof archive->error, "archive %s cannot be created (%d: %s)",
               target, err, strerror(err));
      return false;
    }
  }
  long long bytes = 0;
  if (!create && os_file_size(target, &bytes) == ENOENT) {
    snprintf(archive->error, sizeof archive->error,
             "archive %s is not there yet (the first run that records a submission makes it)",
             target);
    archive->missing = true;
    return false;
  }
  sqlite3* db = nullptr;
  int rc = g_sqlite.open_v2(target, &db, kSqliteOpenReadWrite | kSqliteOpenNoMutex, nullptr);
  archive->handle = db;
  if (rc != kSqliteOk) {
    fail(archive, "cannot be opened");
    g_sqlite.close_v2(db);
    archive->handle = nullptr;
    return false;
  }
  g_sqlite.busy_timeout(db, wait_ms);
  // A run writes one record: no checkpoint when it closes (two flushes to
  // disk each time), the WAL is copied back once it holds 1000 pages; and
  // no lookaside memory, which a connection this short never repays.
  int unused = 0;
  g_sqlite.db_config(db, kSqliteConfigNoCheckpointOnClose, 1, &unused);
  g_sqlite.db_config(db, kSqliteConfigLookaside, nullptr, 0, 0);
  bool ready = run_sql(archive,
                       "PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL; "
                       "PRAGMA secure_delete = ON;",
                       "cannot be set up") &&
               make_tables(archive);
  if (!ready) {
    g_sqlite.close_v2(db);
    archive->handle = nullptr;
  }
  return ready;
}

void sqlite_close(Archive* archive) {
  if (archive->handle != nullptr) g_sqlite.close_v2(db_of(archive));
  archive->handle = nullptr;
}

void bind_text(sqlite3_stmt* statement, int index, const char* text) {
  if (text == nullptr) {
    g_sqlite.bind_null(statement, index);
  } else {
    g_sqlite.bind_text(statement, index, text, -1, QUILLON_SQLITE_TRANSIENT);
  }
}

const char kUpsert[] =
    "INSERT INTO submissions (id, received, received_seconds, form, language, fields, files,"
    " client, user_agent, sender, subject, excerpt, verdict, spam_verdict, spam_reasons,"
    " spam_score, virus_verdict, webhooks, outcome, server_reply, message_id, spool_name,"
    " elapsed_ms) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15,"
    " ?16, ?17, ?18, ?19, ?20, ?21, ?22, ?23)"
    " ON CONFLICT (id) DO UPDATE SET language = excluded.language,"
    " verdict = excluded.verdict,"
    " spam_verdict = excluded.spam_verdict, spam_reasons = excluded.spam_reasons,"
    " spam_score = excluded.spam_score, virus_verdict = excluded.virus_verdict,"
    " webhooks = excluded.webhooks, outcome = excluded.outcome,"
    " server_reply = excluded.server_reply, message_id = excluded.message_id,"
    " spool_name = excluded.spool_name, elapsed_ms = excluded.elapsed_ms";

void bind_record(sqlite3_stmt* s, const ArchiveRecord& r) {
  char received[32];
  archive_time_text(r.received, received, sizeof received);
  const char* texts[] = {r.id, received};
  for (int i = 0; i < 2; ++i) bind_text(s, i + 1, texts[i]);
  g_sqlite.bind_int64(s, 3, r.received);
  const char* more[] = {r.form,   r.language,     r.fields != nullptr ? r.fields : "[]",
                        r.files != nullptr ? r.files : "[]", r.client, r.user_agent,
                        r.sender, r.subject, r.excerpt, r.verdict, r.spam_verdict,
                        r.spam_reasons};
  for (int i = 0; i < 12; ++i) bind_text(s, i + 4, more[i]);
  if (r.has_spam_score) {
    g_sqlite.bind_double(s, 16, r.spam_score);
  } else {
    g_sqlite.bind_null(s, 16);
  }
  const char* result[] = {r.virus_verdict, r.webhooks, r.outcome, r.server_reply, r.message_id,
                          r.spool_name};
  for (int i = 0; i < 6; ++i) bind_text(s, i + 17, result[i]);
  if (r.outcome != nullptr) {
    g_sqlite.bind_int64(s, 23, r.elapsed_ms);
  } else {
    g_sqlite.bind_null(s, 23);
  }
}

bool step_once(Archive* archive, const char* sql, const ArchiveRecord& record) {
  sqlite3_stmt* s = nullptr;
  if (g_sqlite.prepare_v2(db_of(archive), sql, -1, &s, nullptr) != kSqliteOk) {
    return fail(archive, "cannot be written");
  }
  bind_record(s, record);
  int rc = g_sqlite.step(s);
  g_sqlite.finalize(s);
  return rc == kSqliteDone || fail(archive, "cannot be written");
}

bool write_files(Archive* archive, const ArchiveRecord& record) {
  sqlite3_stmt* s = nullptr;
  const char sql[] = "INSERT OR IGNORE INTO submission_files VALUES (?1, ?2, ?3)";
  if (g_sqlite.prepare_v2(db_of(archive), sql, -1, &s, nullptr) != kSqliteOk) {
    return fail(archive, "cannot be written");
  }
  bool ok = true;
  for (int i = 0; ok && i < record.file_count; ++i) {
    const ArchiveFile& file = record.file_data[i];
    if (file.data == nullptr) continue;
    bind_text(s, 1, record.id);
    g_sqlite.bind_int64(s, 2, i);
    g_sqlite.bind_blob(s, 3, file.size > 0 ? file.data : "", static_cast<int>(file.size),
                       QUILLON_SQLITE_TRANSIENT);
    ok = g_sqlite.step(s) == kSqliteDone;
    g_sqlite.reset(s);
  }
  g_sqlite.finalize(s);
  return ok || fail(archive, "cannot be written");
}

bool sqlite_write(Archive* archive, const ArchiveRecord& record, bool) {
  bool files = false;
  for (int i = 0; i < record.file_count; ++i) files = files || record.file_data[i].data != nullptr;
  if (!files) return step_once(archive, kUpsert, record);
  if (!run_sql(archive, "BEGIN IMMEDIATE", "cannot be locked")) return false;
  if (step_once(archive, kUpsert, record) && write_files(archive, record)) {
    return run_sql(archive, "COMMIT", "cannot be written");
  }
  char kept[kArchiveErrorSize];
  memcpy(kept, archive->error, sizeof kept);
  run_sql(archive, "ROLLBACK", "cannot be rolled back");
  memcpy(archive->error, kept, sizeof kept);
  return false;
}

}  // namespace

const ArchiveEngine kSqliteArchive = {
    "SQLite",      sqlite_open,  sqlite_close, sqlite_write,  sqlite_query,
    sqlite_file_data, sqlite_erase, sqlite_purge, sqlite_facts, sqlite_purge_due};
