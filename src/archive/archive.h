#pragma once
// The archive: every submission on record, for the owner to look up,
// export, erase and purge. This header is the interface the driver uses,
// the same whichever engine keeps the records: the engine is chosen by the
// `archive` setting (a path: SQLite, archive_sqlite.cpp; a postgresql://
// address: PostgreSQL, archive_pg.cpp); each engine is
// one ArchiveEngine (archive_engine.h) of function pointers.
// May use src/db, src/deliver (the spool's folders and file format),
// src/config, src/base and src/platform.
//
// Errors: bool for yes/no with the reason in the Archive's `error`;
// nothing here logs or prints: the driver says what failed (one error line
// in a run, a printed line in a command). A record that could not be
// written is never a reason to stop the mail.

#include <cstddef>

#include "base/text.h"
#include "config/settings.h"

constexpr size_t kArchiveErrorSize = 2048;

// One attached file: its field, name, type and size; its bytes only with
// archive_files.
struct ArchiveFile {
  const char* field;
  const char* name;
  const char* type;
  const char* data;  // null: not kept
  size_t size;
};

// One submission's record. Texts may be null (stored as NULL, shown as "").
struct ArchiveRecord {
  const char* id;           // the submission id (a spool NAME)
  long long received;       // seconds since 1970, UTC
  const char* form;         // the settings file's name
  const char* language;     // the answer's language tag
  const char* fields;       // JSON: [["name","value"],...] in submission order
  const char* files;        // JSON: [{"field":..,"name":..,"type":..,"size":N},...]
  const ArchiveFile* file_data;  // with archive_files: their bytes
  int file_count;
  const char* client;       // as archive_ip says
  const char* user_agent;   // with archive_user_agent
  const char* sender;       // the visitor's address, for the list
  const char* subject;
  const char* excerpt;      // the first words of the message
  const char* verdict;      // the judge's words when one stopped it
  const char* spam_verdict;
  const char* spam_reasons;
  double spam_score;
  bool has_spam_score;
  const char* virus_verdict;
  const char* webhooks;     // JSON
  // The result, once the delivery ended (outcome null: not yet).
  const char* outcome;      // the outcome word (honeypot, duplicate, quarantined as they are)
  const char* server_reply; // the server's reply to the end of data
  const char* message_id;
  const char* spool_name;
  long long elapsed_ms;
};

// An open archive.
struct Archive {
  const struct ArchiveEngine* engine;
  void* handle;
  char error[kArchiveErrorSize];
  char path[1024];  // the database's path as resolved (SQLite), or its URL
  const char* password_file;  // database_password_file (PostgreSQL)
  bool missing;     // archive_open failed only because it is not made yet
};

// Opens the archive `settings.archive` names (a relative path is taken
// from the folder of `ini_path`, as spool_folder is), creating the
// SQLite database and its tables on first use (not without `create`: the
// owner's commands and -check never make it; PostgreSQL's tables are
// -archive init's alone), waiting for it at most `wait_ms` (PostgreSQL:
// for each statement). False with the reason in archive->error (the Archive then
// needs no close).
bool archive_open(const Settings& settings, const char* ini_path, int wait_ms, Archive* archive,
                  bool create = true);
void archive_close(Archive* archive);

// Whether the `archive` setting names a PostgreSQL database.
bool archive_is_database_url(const char* target);

// The path `settings.archive` names, resolved (heap; caller frees).
char* archive_resolved_path(const Settings& settings, const char* ini_path);

// Writes the record, before its delivery (record.outcome null).
bool archive_record_submission(Archive* archive, const ArchiveRecord& record);
// Adds the delivery's result to the record of that id; writes the whole
// record when there is none (a record that waited in the spool).
bool archive_record_result(Archive* archive, const ArchiveRecord& record);

// Which records a query takes. Times are seconds since 1970 (0: no bound).
struct ArchiveQuery {
  long long since;    // received >= since
  long long until;    // received < until
  const char* outcome;
  const char* search; // in the fields, case ignored
  long long limit;    // 0: all
  const char* id;     // one record
};

// One stored record, as read back; valid during the callback only.
struct ArchiveRow {
  long long seq;
  const char* id;
  const char* received;  // "2026-01-07T13:45:01Z"
  long long received_seconds;
  const char* form;
  const char* language;
  const char* fields;
  const char* files;
  const char* client;
  const char* user_agent;
  const char* sender;
  const char* subject;
  const char* excerpt;
  const char* verdict;
  const char* spam_verdict;
  const char* spam_reasons;
  const char* spam_score;
  const char* virus_verdict;
  const char* webhooks;
  const char* outcome;
  const char* server_reply;
  const char* message_id;
  const char* spool_name;
  const char* elapsed_ms;
};
using ArchiveRowFn = bool (*)(const ArchiveRow& row, void* context);  // false: stop

// Calls `each` for the records of `query`, oldest first, one at a time.
bool archive_query(Archive* archive, const ArchiveQuery& query, ArchiveRowFn each,
                   void* context);

// Each field name of the records of `query`, once, in first-seen order.
using ArchiveNameFn = void (*)(const char* name, void* context);
bool archive_field_names(Archive* archive, const ArchiveQuery& query, ArchiveNameFn each,
                         void* context);

// Each stored file's bytes of the record `id`.
using ArchiveFileFn = void (*)(int position, const char* data, size_t size, void* context);
bool archive_file_data(Archive* archive, const char* id, ArchiveFileFn each, void* context);

// Removes the record `target` names (an id), or every record whose fields
// hold the address `target`; `each` hears each record removed (with its
// spool name) before it goes. The freed bytes are overwritten and the
// write-ahead log emptied. *removed counts them.
using ArchiveRemovedFn = void (*)(const char* id, const char* spool_name, void* context);
bool archive_erase(Archive* archive, const char* target, ArchiveRemovedFn each, void* context,
                   long long* removed);

// Removes the records received before `before` (seconds since 1970).
bool archive_purge(Archive* archive, long long before, long long* removed);

// What -check reports.
struct ArchiveFacts {
  long long records;
  long long oldest;       // seconds since 1970; 0 with no records
  long long file_bytes;   // the database file with its -wal
};
bool archive_facts(Archive* archive, ArchiveFacts* facts);

// The time of the last purge a run made, and marking one now (so that runs
// purge at most once an hour).
bool archive_purge_due(Archive* archive, long long now, long long every_seconds);
