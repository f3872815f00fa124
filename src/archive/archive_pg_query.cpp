// Reading the PostgreSQL archive back one row at a time (the client's
// single-row mode: an export takes the same memory for any number of
// records), and removing records: erase by id or address, purge by age.
// PostgreSQL keeps a removed row's bytes until VACUUM; erase runs it when
// the database user owns the tables, else that is the owner's to run.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "archive/archive_pg.h"
#include "base/fatal.h"
#include "platform/os.h"

namespace {

const char kSelect[] =
    "SELECT seq, id, received, received_seconds, form, language, fields, files, client,"
    " user_agent, sender, subject, excerpt, verdict, spam_verdict, spam_reasons, spam_score,"
    " virus_verdict, webhooks, outcome, server_reply, message_id, spool_name, elapsed_ms"
    " FROM quillon_archive WHERE ($1::bigint = 0 OR received_seconds >= $1::bigint)"
    " AND ($2::bigint = 0 OR received_seconds < $2::bigint)"
    " AND ($3::text IS NULL OR outcome = $3) AND ($4::text IS NULL OR"
    " strpos(lower(fields), lower($4)) > 0) AND ($5::text IS NULL OR id = $5)"
    " ORDER BY seq LIMIT $6::bigint";

constexpr int kColumns = 24;

struct RowCall {
  ArchiveRowFn each;
  void* context;
};

// A score as the SQLite file shows it: a whole number keeps its ".0".
void score_text(const char* value, char* out, size_t size) {
  snprintf(out, size, "%s", value);
  if (value[0] != '\0' && strpbrk(value, ".eEnN") == nullptr) {
    snprintf(out, size, "%s.0", value);
  }
}

bool hand_row(const char* const* values, int columns, void* context) {
  if (columns < kColumns) return false;
  const char* v[kColumns];
  for (int i = 0; i < kColumns; ++i) v[i] = values[i] != nullptr ? values[i] : "";
  char score[48];
  score_text(v[16], score, sizeof score);
  ArchiveRow row = {};
  row.seq = atoll(v[0]);
  row.received_seconds = atoll(v[3]);
  const char** texts[] = {&row.id,          &row.received,     nullptr,
                          &row.form,        &row.language,     &row.fields,
                          &row.files,       &row.client,       &row.user_agent,
                          &row.sender,      &row.subject,      &row.excerpt,
                          &row.verdict,     &row.spam_verdict, &row.spam_reasons,
                          &row.spam_score,  &row.virus_verdict, &row.webhooks,
                          &row.outcome,     &row.server_reply, &row.message_id,
                          &row.spool_name,  &row.elapsed_ms};
  for (int i = 0; i < kColumns - 1; ++i) {
    if (texts[i] != nullptr) *texts[i] = v[i + 1];
  }
  row.spam_score = score;
  RowCall* call = static_cast<RowCall*>(context);
  return call->each(row, call->context);
}

bool rows(Archive* archive, const char* sql, const char* const* params, int count, PgRowFn each,
          void* context) {
  PgArchive* db = pg_archive(archive);
  char why[kPgErrorSize];
  db->link.deadline_ms = os_monotonic_ms() + db->wait_ms;
  return pg_query_rows(&db->link, sql, params, count, each, context, why, sizeof why) ||
         pg_archive_fail(archive, "cannot be read", why);
}

struct FileCall {
  ArchiveFileFn each;
  void* context;
};

int hex_digit(char c) {
  return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : 0;
}

bool hand_file(const char* const* values, int columns, void* context) {
  if (columns < 2 || values[0] == nullptr || values[1] == nullptr) return true;
  size_t length = strlen(values[1]) / 2;
  char* data = static_cast<char*>(malloc(length + 1));
  if (data == nullptr) fatal_reply(kOutOfMemory);
  for (size_t i = 0; i < length; ++i) {
    data[i] = static_cast<char>(hex_digit(values[1][2 * i]) * 16 + hex_digit(values[1][2 * i + 1]));
  }
  FileCall* call = static_cast<FileCall*>(context);
  call->each(atoi(values[0]), data, length, call->context);
  free(data);
  return true;
}

// VACUUM when the database user owns the tables; otherwise the owner's
// (a user that does not own a table is only warned, so ask first).
void vacuum_if_owner(Archive* archive) {
  PgAnswer owner;
  if (!pg_archive_run(archive,
                      "SELECT bool_and(pg_has_role(relowner, 'USAGE')) FROM pg_class"
                      " WHERE oid IN ('quillon_archive'::regclass,"
                      " 'quillon_archive_files'::regclass)",
                      nullptr, 0, &owner, "cannot be read") ||
      strcmp(owner.value, "t") != 0) {
    archive->error[0] = '\0';
    return;
  }
  PgArchive* db = pg_archive(archive);
  char why[kPgErrorSize];
  db->link.deadline_ms = os_monotonic_ms() + db->wait_ms;
  pg_script(&db->link, "VACUUM quillon_archive, quillon_archive_files", why, sizeof why);
}

}  // namespace

bool pg_archive_query(Archive* archive, const ArchiveQuery& query, ArchiveRowFn each,
                      void* context) {
  char since[24];
  char until[24];
  char limit[24];
  snprintf(since, sizeof since, "%lld", query.since);
  snprintf(until, sizeof until, "%lld", query.until);
  snprintf(limit, sizeof limit, "%lld", query.limit);
  const char* params[] = {since, until, query.outcome, query.search, query.id,
                          query.limit > 0 ? limit : nullptr};
  RowCall call = {each, context};
  return rows(archive, kSelect, params, 6, hand_row, &call);
}

bool pg_archive_file_data(Archive* archive, const char* id, ArchiveFileFn each, void* context) {
  const char* params[] = {id};
  FileCall call = {each, context};
  return rows(archive,
              "SELECT position, encode(content, 'hex') FROM quillon_archive_files"
              " WHERE id = $1 ORDER BY 1",
              params, 1, hand_file, &call);
}

bool pg_archive_erase(Archive* archive, const char* target, ArchiveRemovedFn each, void* context,
                      long long* removed) {
  *removed = 0;
  ArchiveEraseScan scan = {target, strchr(target, '@') == nullptr, nullptr, 0, 0};
  ArchiveQuery query = {};
  if (scan.by_id) query.id = target;
  bool ok = pg_archive_run(archive, "BEGIN", nullptr, 0, nullptr, "cannot be written") &&
            pg_archive_query(archive, query, archive_erase_candidate, &scan);
  for (int i = 0; ok && i < scan.count; i += 2) {
    const char* params[] = {scan.ids[i]};
    ok = pg_archive_run(archive, "DELETE FROM quillon_archive_files WHERE id = $1", params, 1,
                        nullptr, "cannot be written") &&
         pg_archive_run(archive, "DELETE FROM quillon_archive WHERE id = $1", params, 1,
                        nullptr, "cannot be written");
  }
  if (ok) {
    ok = pg_archive_run(archive, "COMMIT", nullptr, 0, nullptr, "cannot be written");
  } else {
    pg_archive_roll_back(archive);
  }
  for (int i = 0; ok && i < scan.count; i += 2) {
    if (each != nullptr) each(scan.ids[i], scan.ids[i + 1], context);
  }
  if (ok) *removed = scan.count / 2;
  archive_erase_scan_free(&scan);
  if (ok && *removed > 0) vacuum_if_owner(archive);
  return ok;
}

bool pg_archive_purge(Archive* archive, long long before, long long* removed) {
  *removed = 0;
  char bound[24];
  snprintf(bound, sizeof bound, "%lld", before);
  const char* params[] = {bound};
  PgAnswer answer;
  if (!pg_archive_run(archive,
                      "WITH gone AS (DELETE FROM quillon_archive WHERE received_seconds <"
                      " $1::bigint RETURNING id), files AS (DELETE FROM quillon_archive_files"
                      " WHERE id IN (SELECT id FROM gone)) SELECT count(*) FROM gone",
                      params, 1, &answer, "old records cannot be removed")) {
    return false;
  }
  *removed = atoll(answer.value);
  return true;
}

bool pg_archive_facts(Archive* archive, ArchiveFacts* facts) {
  *facts = ArchiveFacts{};
  struct Cell {
    const char* sql;
    long long* into;
  } cells[] = {
      {"SELECT count(*) FROM quillon_archive", &facts->records},
      {"SELECT coalesce(min(received_seconds), 0) FROM quillon_archive", &facts->oldest},
      {"SELECT pg_total_relation_size('quillon_archive')"
       " + pg_total_relation_size('quillon_archive_files')",
       &facts->file_bytes},
  };
  for (const Cell& cell : cells) {
    PgAnswer answer;
    if (!pg_archive_run(archive, cell.sql, nullptr, 0, &answer, "cannot be read")) return false;
    *cell.into = atoll(answer.value);
  }
  return true;
}

bool pg_archive_purge_due(Archive* archive, long long now, long long every_seconds) {
  char at[24];
  char last[24];
  snprintf(at, sizeof at, "%lld", now);
  snprintf(last, sizeof last, "%lld", now - every_seconds);
  const char* params[] = {at, last};
  PgAnswer answer;
  return pg_archive_run(archive,
                        "UPDATE quillon_archive_meta SET value = $1 WHERE name = 'last_purge'"
                        " AND value::bigint <= $2::bigint RETURNING 1",
                        params, 2, &answer, "cannot be written") &&
         answer.rows == 1;
}
