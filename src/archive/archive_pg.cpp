// The archive in a PostgreSQL database shared by several servers: one
// connection per run, made and used on the run's own deadline (db/pg_lib),
// each statement given `archive_timeout` at most. The tables are made by
// -archive init alone: a run whose tables are missing fails like any
// other fault, and its record waits in the spool.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "archive/archive_pg.h"
#include "archive/archive_text.h"
#include "base/fatal.h"
#include "base/sha256.h"
#include "platform/os.h"

PgArchive* pg_archive(Archive* archive) { return static_cast<PgArchive*>(archive->handle); }

bool pg_archive_fail(Archive* archive, const char* doing, const char* why) {
  snprintf(archive->error, sizeof archive->error, "archive %s: %s: %s", archive->path, doing,
           why);
  return false;
}

bool pg_archive_run(Archive* archive, const char* sql, const char* const* params, int count,
                    PgAnswer* answer, const char* doing) {
  PgArchive* db = pg_archive(archive);
  PgAnswer unused;
  char why[kPgErrorSize];
  db->link.deadline_ms = os_monotonic_ms() + db->wait_ms;
  if (pg_query(&db->link, sql, params, count, answer != nullptr ? answer : &unused, why,
               sizeof why)) {
    return true;
  }
  return pg_archive_fail(archive, doing, why);
}

void pg_archive_roll_back(Archive* archive) {
  if (pg_archive(archive)->link.conn == nullptr) return;
  char kept[kArchiveErrorSize];
  memcpy(kept, archive->error, sizeof kept);
  pg_archive_run(archive, "ROLLBACK", nullptr, 0, nullptr, "cannot be rolled back");
  memcpy(archive->error, kept, sizeof kept);
}

namespace {

bool pg_open(Archive* archive, const char* target, int wait_ms, bool) {
  PgArchive* db = static_cast<PgArchive*>(calloc(1, sizeof(PgArchive)));
  if (db == nullptr) fatal_reply(kOutOfMemory);
  db->wait_ms = wait_ms;
  char why[kPgErrorSize];
  if (!pg_connect(target, archive->password_file, os_monotonic_ms() + wait_ms, &db->link, why,
                  sizeof why)) {
    free(db);
    return pg_archive_fail(archive, "cannot be opened", why);
  }
  archive->handle = db;
  return true;
}

void pg_close_archive(Archive* archive) {
  PgArchive* db = pg_archive(archive);
  if (db != nullptr) pg_close(&db->link);
  free(db);
  archive->handle = nullptr;
}

const char kUpsert[] =
    "INSERT INTO quillon_archive (id, received, received_seconds, form, language, fields, files,"
    " client, user_agent, sender, subject, excerpt, verdict, spam_verdict, spam_reasons,"
    " spam_score, virus_verdict, webhooks, outcome, server_reply, message_id, spool_name,"
    " elapsed_ms) VALUES ($1, $2, $3::bigint, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14,"
    " $15, $16::double precision, $17, $18, $19, $20, $21, $22, $23::bigint)"
    " ON CONFLICT (id) DO UPDATE SET verdict = excluded.verdict,"
    " spam_verdict = excluded.spam_verdict, spam_reasons = excluded.spam_reasons,"
    " spam_score = excluded.spam_score, virus_verdict = excluded.virus_verdict,"
    " webhooks = excluded.webhooks, outcome = excluded.outcome,"
    " server_reply = excluded.server_reply, message_id = excluded.message_id,"
    " spool_name = excluded.spool_name, elapsed_ms = excluded.elapsed_ms";

bool write_row(Archive* archive, const ArchiveRecord& r) {
  char received[32];
  char seconds[24];
  char score[40];
  char elapsed[24];
  archive_time_text(r.received, received, sizeof received);
  snprintf(seconds, sizeof seconds, "%lld", r.received);
  snprintf(score, sizeof score, "%.17g", r.spam_score);
  snprintf(elapsed, sizeof elapsed, "%lld", r.elapsed_ms);
  const char* params[] = {r.id, received, seconds, r.form, r.language,
                          r.fields != nullptr ? r.fields : "[]",
                          r.files != nullptr ? r.files : "[]", r.client, r.user_agent, r.sender,
                          r.subject, r.excerpt, r.verdict, r.spam_verdict, r.spam_reasons,
                          r.has_spam_score ? score : nullptr, r.virus_verdict, r.webhooks,
                          r.outcome, r.server_reply, r.message_id, r.spool_name,
                          r.outcome != nullptr ? elapsed : nullptr};
  return pg_archive_run(archive, kUpsert, params, 23, nullptr, "cannot be written");
}

// The files' bytes, sent as hex text (the parameters are text).
bool write_files(Archive* archive, const ArchiveRecord& record) {
  for (int i = 0; i < record.file_count; ++i) {
    const ArchiveFile& file = record.file_data[i];
    if (file.data == nullptr) continue;
    char* hex = static_cast<char*>(malloc(file.size * 2 + 1));
    if (hex == nullptr) fatal_reply(kOutOfMemory);
    hex_lower(reinterpret_cast<const unsigned char*>(file.data), file.size, hex);
    char position[16];
    snprintf(position, sizeof position, "%d", i);
    const char* params[] = {record.id, position, hex};
    bool ok = pg_archive_run(archive,
                             "INSERT INTO quillon_archive_files VALUES ($1, $2::integer,"
                             " decode($3, 'hex')) ON CONFLICT DO NOTHING",
                             params, 3, nullptr, "cannot be written");
    free(hex);
    if (!ok) return false;
  }
  return true;
}

bool pg_write(Archive* archive, const ArchiveRecord& record, bool) {
  bool files = false;
  for (int i = 0; i < record.file_count; ++i) files = files || record.file_data[i].data != nullptr;
  if (!files) return write_row(archive, record);
  if (!pg_archive_run(archive, "BEGIN", nullptr, 0, nullptr, "cannot be written")) return false;
  if (write_row(archive, record) && write_files(archive, record)) {
    return pg_archive_run(archive, "COMMIT", nullptr, 0, nullptr, "cannot be written");
  }
  pg_archive_roll_back(archive);
  return false;
}

}  // namespace

const ArchiveEngine kPgArchive = {
    "PostgreSQL",         pg_open,          pg_close_archive,    pg_write,
    pg_archive_query,     pg_archive_file_data, pg_archive_erase, pg_archive_purge,
    pg_archive_facts,     pg_archive_purge_due};
