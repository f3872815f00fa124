// The tables of the shared state, as -archive init prints and runs them,
// and the rights -check looks for.
#include <cstdio>
#include <cstring>

#include "guard/shared_state.h"

const PgTableRights kSharedTableRights[] = {
    {"quillon_state_key", "SELECT"},
    {"quillon_rate", "SELECT, INSERT, UPDATE, DELETE"},
    {"quillon_seen", "SELECT, INSERT, UPDATE, DELETE"},
    {"quillon_run_times", "SELECT, INSERT, UPDATE"},
};
const int kSharedTableCount =
    static_cast<int>(sizeof kSharedTableRights / sizeof kSharedTableRights[0]);

static const char kSchema[] =
    "-- The judges' memory shared by every server (shared_state).\n"
    "CREATE TABLE IF NOT EXISTS quillon_state_key (\n"
    "  one boolean PRIMARY KEY DEFAULT true CHECK (one),\n"
    "  secret bytea NOT NULL\n"
    ");\n"
    "INSERT INTO quillon_state_key (secret)\n"
    "  VALUES (decode(md5(random()::text || clock_timestamp()::text)\n"
    "                 || md5(gen_random_uuid()::text), 'hex'))\n"
    "  ON CONFLICT DO NOTHING;\n"
    "CREATE TABLE IF NOT EXISTS quillon_rate (\n"
    "  key bytea PRIMARY KEY,\n"
    "  stamps bigint[] NOT NULL,\n"
    "  admitted boolean NOT NULL,\n"
    "  expires timestamptz NOT NULL\n"
    ");\n"
    "CREATE INDEX IF NOT EXISTS quillon_rate_expires ON quillon_rate (expires);\n"
    "CREATE TABLE IF NOT EXISTS quillon_seen (\n"
    "  kind smallint NOT NULL,\n"
    "  key bytea NOT NULL,\n"
    "  expires timestamptz NOT NULL,\n"
    "  PRIMARY KEY (kind, key)\n"
    ");\n"
    "CREATE INDEX IF NOT EXISTS quillon_seen_expires ON quillon_seen (expires);\n"
    "CREATE TABLE IF NOT EXISTS quillon_run_times (\n"
    "  slot integer PRIMARY KEY,\n"
    "  micros bigint NOT NULL\n"
    ");\n"
    "CREATE SEQUENCE IF NOT EXISTS quillon_run_slot;\n";

int shared_state_tables_check(PgLink* link, void (*say)(const char* line), char* error,
                              size_t size) {
  return pg_tables_check(link, kSharedTableRights, kSharedTableCount, say, error, size);
}

// `name` as an SQL identifier: in double quotes, each one doubled.
static void append_identifier(TextBuffer* out, const char* name) {
  text_buffer_append(out, "\"");
  for (const char* p = name; *p != '\0'; ++p) {
    text_buffer_append_bytes(out, p, 1);
    if (*p == '"') text_buffer_append_bytes(out, p, 1);
  }
  text_buffer_append(out, "\"");
}

TextBuffer* shared_state_schema(const char* role) {
  TextBuffer* out = text_buffer_new(kSchema);
  text_buffer_append(out, "-- The rights of the CGI's database user: rows only, no DDL.\n");
  for (int i = 0; i < kSharedTableCount; ++i) {
    text_buffer_append(out, "GRANT %s ON %s TO ", kSharedTableRights[i].rights,
                       kSharedTableRights[i].table);
    append_identifier(out, role);
    text_buffer_append(out, ";\n");
  }
  text_buffer_append(out, "GRANT USAGE ON SEQUENCE quillon_run_slot TO ");
  append_identifier(out, role);
  text_buffer_append(out, ";\n");
  return out;
}
