#pragma once
// The archive's values: a record as written, a query, a row as read back,
// and the callbacks the queries hear. Shared by the interface (archive.h)
// and its engines (archive_engine.h). May use src/base only.

#include <cstddef>

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

// Hears one field name.
using ArchiveNameFn = void (*)(const char* name, void* context);

// Hears one stored file's bytes.
using ArchiveFileFn = void (*)(int position, const char* data, size_t size, void* context);

// Hears each record an erase removes, with its spool name.
using ArchiveRemovedFn = void (*)(const char* id, const char* spool_name, void* context);

// What -check reports.
struct ArchiveFacts {
  long long records;
  long long oldest;       // seconds since 1970; 0 with no records
  long long file_bytes;   // the database file with its -wal
};
