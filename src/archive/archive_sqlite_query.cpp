// Reading the SQLite archive back, one row at a time (so that an export
// takes the same memory for any number of records), and removing records:
// erase by id or address, purge by age.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "archive/archive_sqlite.h"
#include "archive/archive_text.h"
#include "base/fatal.h"
#include "db/sqlite_lib.h"
#include "platform/os.h"

namespace {

const char kSelect[] =
    "SELECT seq, id, received, received_seconds, form, language, fields, files, client,"
    " user_agent, sender, subject, excerpt, verdict, spam_verdict, spam_reasons, spam_score,"
    " virus_verdict, webhooks, outcome, server_reply, message_id, spool_name, elapsed_ms"
    " FROM submissions WHERE (?1 = 0 OR received_seconds >= ?1)"
    " AND (?2 = 0 OR received_seconds < ?2) AND (?3 IS NULL OR outcome = ?3)"
    " AND (?4 IS NULL OR instr(lower(fields), lower(?4)) > 0) AND (?5 IS NULL OR id = ?5)"
    " ORDER BY seq LIMIT ?6";

const char* text_at(sqlite3_stmt* s, int column) {
  const unsigned char* text = g_sqlite.column_text(s, column);
  return text != nullptr ? reinterpret_cast<const char*>(text) : "";
}

void read_row(sqlite3_stmt* s, ArchiveRow* row) {
  row->seq = g_sqlite.column_int64(s, 0);
  row->received_seconds = g_sqlite.column_int64(s, 3);
  const char** texts[] = {&row->id,          &row->received,     nullptr,
                          &row->form,        &row->language,     &row->fields,
                          &row->files,       &row->client,       &row->user_agent,
                          &row->sender,      &row->subject,      &row->excerpt,
                          &row->verdict,     &row->spam_verdict, &row->spam_reasons,
                          &row->spam_score,  &row->virus_verdict, &row->webhooks,
                          &row->outcome,     &row->server_reply, &row->message_id,
                          &row->spool_name,  &row->elapsed_ms};
  for (int i = 0; i < 23; ++i) {
    if (texts[i] != nullptr) *texts[i] = text_at(s, i + 1);
  }
}

bool bind_query(Archive* archive, const ArchiveQuery& query, sqlite3_stmt** out) {
  if (g_sqlite.prepare_v2(sqlite_db(archive), kSelect, -1, out, nullptr) != kSqliteOk) {
    return sqlite_fail(archive, "cannot be read");
  }
  sqlite3_stmt* s = *out;
  g_sqlite.bind_int64(s, 1, query.since);
  g_sqlite.bind_int64(s, 2, query.until);
  const char* texts[] = {query.outcome, query.search, query.id};
  for (int i = 0; i < 3; ++i) {
    if (texts[i] == nullptr) {
      g_sqlite.bind_null(s, i + 3);
    } else {
      g_sqlite.bind_text(s, i + 3, texts[i], -1, QUILLON_SQLITE_TRANSIENT);
    }
  }
  g_sqlite.bind_int64(s, 6, query.limit > 0 ? query.limit : -1);
  return true;
}

bool step_done(Archive* archive, sqlite3_stmt* s) {
  int rc = g_sqlite.step(s);
  g_sqlite.finalize(s);
  return rc == kSqliteDone || rc == kSqliteRow || sqlite_fail(archive, "cannot be written");
}

bool exec_with_text(Archive* archive, const char* sql, const char* text) {
  sqlite3_stmt* s = nullptr;
  if (g_sqlite.prepare_v2(sqlite_db(archive), sql, -1, &s, nullptr) != kSqliteOk) {
    return sqlite_fail(archive, "cannot be written");
  }
  g_sqlite.bind_text(s, 1, text, -1, QUILLON_SQLITE_TRANSIENT);
  return step_done(archive, s);
}

// Writes the WAL's pages into the database and empties the WAL, so that
// what was removed is in neither file.
bool checkpoint(Archive* archive) {
  int frames = 0;
  int done = 0;
  int rc = g_sqlite.wal_checkpoint_v2(sqlite_db(archive), nullptr, kSqliteCheckpointTruncate,
                                      &frames, &done);
  return rc == kSqliteOk || sqlite_fail(archive, "its log cannot be emptied");
}

}  // namespace

bool sqlite_query(Archive* archive, const ArchiveQuery& query, ArchiveRowFn each,
                  void* context) {
  sqlite3_stmt* s = nullptr;
  if (!bind_query(archive, query, &s)) return false;
  int rc;
  bool going = true;
  while (going && (rc = g_sqlite.step(s)) == kSqliteRow) {
    ArchiveRow row = {};
    read_row(s, &row);
    going = each(row, context);
  }
  g_sqlite.finalize(s);
  return !going || rc == kSqliteDone || sqlite_fail(archive, "cannot be read");
}

bool sqlite_file_data(Archive* archive, const char* id, ArchiveFileFn each, void* context) {
  sqlite3_stmt* s = nullptr;
  const char sql[] = "SELECT position, content FROM submission_files WHERE id = ?1 ORDER BY 1";
  if (g_sqlite.prepare_v2(sqlite_db(archive), sql, -1, &s, nullptr) != kSqliteOk) {
    return sqlite_fail(archive, "cannot be read");
  }
  g_sqlite.bind_text(s, 1, id, -1, QUILLON_SQLITE_TRANSIENT);
  int rc;
  while ((rc = g_sqlite.step(s)) == kSqliteRow) {
    const char* data = text_at(s, 1);
    each(static_cast<int>(g_sqlite.column_int64(s, 0)), data,
         static_cast<size_t>(g_sqlite.column_bytes(s, 1)), context);
  }
  g_sqlite.finalize(s);
  return rc == kSqliteDone || sqlite_fail(archive, "cannot be read");
}

bool sqlite_erase(Archive* archive, const char* target, ArchiveRemovedFn each, void* context,
                  long long* removed) {
  *removed = 0;
  ArchiveEraseScan scan = {target, strchr(target, '@') == nullptr, nullptr, 0, 0};
  ArchiveQuery query = {};
  if (scan.by_id) query.id = target;
  // The address is searched in the text first, then checked as a whole.
  bool ok = sqlite_run(archive, "BEGIN IMMEDIATE", "cannot be locked") &&
            sqlite_query(archive, query, archive_erase_candidate, &scan);
  for (int i = 0; ok && i < scan.count; i += 2) {
    ok = exec_with_text(archive, "DELETE FROM submission_files WHERE id = ?1", scan.ids[i]) &&
         exec_with_text(archive, "DELETE FROM submissions WHERE id = ?1", scan.ids[i]);
  }
  if (ok) {
    ok = sqlite_run(archive, "COMMIT", "cannot be written");
  } else {
    char kept[kArchiveErrorSize];
    memcpy(kept, archive->error, sizeof kept);
    sqlite_run(archive, "ROLLBACK", "cannot be rolled back");
    memcpy(archive->error, kept, sizeof kept);
  }
  for (int i = 0; ok && i < scan.count; i += 2) {
    if (each != nullptr) each(scan.ids[i], scan.ids[i + 1], context);
  }
  if (ok) *removed = scan.count / 2;
  archive_erase_scan_free(&scan);
  return ok && checkpoint(archive);
}

bool sqlite_purge(Archive* archive, long long before, long long* removed) {
  *removed = 0;
  char sql[400];
  snprintf(sql, sizeof sql,
           "BEGIN IMMEDIATE; DELETE FROM submission_files WHERE id IN (SELECT id FROM "
           "submissions WHERE received_seconds < %lld); DELETE FROM submissions WHERE "
           "received_seconds < %lld;",
           before, before);
  if (!sqlite_run(archive, sql, "old records cannot be removed")) {
    sqlite_run(archive, "ROLLBACK", "cannot be rolled back");
    return false;
  }
  *removed = g_sqlite.changes(sqlite_db(archive));
  return sqlite_run(archive, "COMMIT", "cannot be written") && checkpoint(archive);
}

bool sqlite_facts(Archive* archive, ArchiveFacts* facts) {
  *facts = ArchiveFacts{};
  sqlite3_stmt* s = nullptr;
  const char sql[] = "SELECT count(*), coalesce(min(received_seconds), 0) FROM submissions";
  if (g_sqlite.prepare_v2(sqlite_db(archive), sql, -1, &s, nullptr) != kSqliteOk) {
    return sqlite_fail(archive, "cannot be read");
  }
  int rc = g_sqlite.step(s);
  if (rc == kSqliteRow) {
    facts->records = g_sqlite.column_int64(s, 0);
    facts->oldest = g_sqlite.column_int64(s, 1);
  }
  g_sqlite.finalize(s);
  if (rc != kSqliteRow) return sqlite_fail(archive, "cannot be read");
  long long bytes = 0;
  if (os_file_size(archive->path, &bytes) == 0) facts->file_bytes += bytes;
  char wal[sizeof archive->path + 8];
  snprintf(wal, sizeof wal, "%s-wal", archive->path);
  if (os_file_size(wal, &bytes) == 0) facts->file_bytes += bytes;
  return true;
}

bool sqlite_purge_due(Archive* archive, long long now, long long every_seconds) {
  char sql[300];
  snprintf(sql, sizeof sql,
           "UPDATE archive_meta SET value = '%lld' WHERE name = 'last_purge'"
           " AND CAST(value AS INTEGER) <= %lld",
           now, now - every_seconds);
  return sqlite_run(archive, sql, "cannot be written") &&
         g_sqlite.changes(sqlite_db(archive)) == 1;
}
