#include "archive/archive_schema.h"

// Times are seconds since 1970 (UTC) and their text; JSON columns are
// UTF-8 text. A record's result columns stay NULL until its delivery
// ended.
const char kArchiveSchemaSql[] =
    "CREATE TABLE IF NOT EXISTS archive_meta ("
    " name TEXT PRIMARY KEY, value TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS submissions ("
    " seq INTEGER PRIMARY KEY,"
    " id TEXT NOT NULL UNIQUE,"
    " received TEXT NOT NULL,"
    " received_seconds INTEGER NOT NULL,"
    " form TEXT,"
    " language TEXT,"
    " fields TEXT NOT NULL,"
    " files TEXT NOT NULL,"
    " client TEXT,"
    " user_agent TEXT,"
    " sender TEXT,"
    " subject TEXT,"
    " excerpt TEXT,"
    " verdict TEXT,"
    " spam_verdict TEXT,"
    " spam_reasons TEXT,"
    " spam_score REAL,"
    " virus_verdict TEXT,"
    " webhooks TEXT,"
    " outcome TEXT,"
    " server_reply TEXT,"
    " message_id TEXT,"
    " spool_name TEXT,"
    " elapsed_ms INTEGER);"
    "CREATE INDEX IF NOT EXISTS submissions_received ON submissions (received_seconds);"
    "CREATE TABLE IF NOT EXISTS submission_files ("
    " id TEXT NOT NULL, position INTEGER NOT NULL, content BLOB NOT NULL,"
    " PRIMARY KEY (id, position));"
    "INSERT OR IGNORE INTO archive_meta VALUES ('schema_version', '1');"
    "INSERT OR IGNORE INTO archive_meta VALUES ('last_purge', '0');";

const char* const kArchiveColumns[] = {
    "seq",         "id",           "received",      "received_seconds", "form",
    "language",    "fields",       "files",         "client",           "user_agent",
    "sender",      "subject",      "excerpt",       "verdict",          "spam_verdict",
    "spam_reasons", "spam_score",  "virus_verdict", "webhooks",         "outcome",
    "server_reply", "message_id",  "spool_name",    "elapsed_ms"};
