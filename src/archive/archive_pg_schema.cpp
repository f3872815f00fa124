// The archive's tables on PostgreSQL and the rights -check and
// -archive init look for.
#include "archive/archive_pg_schema.h"

#include <cstdio>

#include "archive/archive_schema.h"

const PgTableRights kArchivePgTables[] = {
    {"quillon_archive_meta", "SELECT, UPDATE"},
    {"quillon_archive", "SELECT, INSERT, UPDATE, DELETE"},
    {"quillon_archive_files", "SELECT, INSERT, DELETE"},
};
const int kArchivePgTableCount =
    static_cast<int>(sizeof kArchivePgTables / sizeof kArchivePgTables[0]);

// Times are seconds since 1970 (UTC) and their text; JSON columns are
// UTF-8 text; a record's result columns stay NULL until its delivery ended.
static const char kSchema[] =
    "-- The archive: every submission on record (archive).\n"
    "CREATE TABLE IF NOT EXISTS quillon_archive_meta (\n"
    "  name text PRIMARY KEY,\n"
    "  value text NOT NULL\n"
    ");\n"
    "INSERT INTO quillon_archive_meta VALUES ('schema_version', '%d'), ('last_purge', '0')\n"
    "  ON CONFLICT DO NOTHING;\n"
    "CREATE TABLE IF NOT EXISTS quillon_archive (\n"
    "  seq bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,\n"
    "  id text NOT NULL UNIQUE,\n"
    "  received text NOT NULL,\n"
    "  received_seconds bigint NOT NULL,\n"
    "  form text, language text,\n"
    "  fields text NOT NULL, files text NOT NULL,\n"
    "  client text, user_agent text, sender text, subject text, excerpt text,\n"
    "  verdict text, spam_verdict text, spam_reasons text, spam_score double precision,\n"
    "  virus_verdict text, webhooks text,\n"
    "  outcome text, server_reply text, message_id text, spool_name text, elapsed_ms bigint\n"
    ");\n"
    "CREATE INDEX IF NOT EXISTS quillon_archive_received ON quillon_archive (received_seconds);\n"
    "CREATE TABLE IF NOT EXISTS quillon_archive_files (\n"
    "  id text NOT NULL,\n"
    "  position integer NOT NULL,\n"
    "  content bytea NOT NULL,\n"
    "  PRIMARY KEY (id, position)\n"
    ");\n";

TextBuffer* archive_pg_schema(const char* role) {
  TextBuffer* out = text_buffer_new("");
  text_buffer_append(out, kSchema, kArchiveSchemaVersion);
  text_buffer_append(out, "-- The rights of the CGI's database user on the archive.\n");
  for (int i = 0; i < kArchivePgTableCount; ++i) {
    text_buffer_append(out, "GRANT %s ON %s TO \"", kArchivePgTables[i].rights,
                       kArchivePgTables[i].table);
    for (const char* p = role; *p != '\0'; ++p) {
      text_buffer_append_bytes(out, p, 1);
      if (*p == '"') text_buffer_append_bytes(out, "\"", 1);
    }
    text_buffer_append(out, "\";\n");
  }
  return out;
}

int archive_pg_tables_check(PgLink* link, void (*say)(const char* line), char* error,
                            size_t size) {
  return pg_tables_check(link, kArchivePgTables, kArchivePgTableCount, say, error, size);
}
