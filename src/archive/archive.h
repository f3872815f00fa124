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

#include "archive/archive_types.h"
#include "base/text.h"
#include "config/settings.h"

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

// Calls `each` for the records of `query`, oldest first, one at a time.
bool archive_query(Archive* archive, const ArchiveQuery& query, ArchiveRowFn each,
                   void* context);

// Each field name of the records of `query`, once, in first-seen order.
bool archive_field_names(Archive* archive, const ArchiveQuery& query, ArchiveNameFn each,
                         void* context);

// Each stored file's bytes of the record `id`.
bool archive_file_data(Archive* archive, const char* id, ArchiveFileFn each, void* context);

// Removes the record `target` names (an id), or every record whose fields
// hold the address `target`; `each` hears each record removed (with its
// spool name) before it goes. The freed bytes are overwritten and the
// write-ahead log emptied. *removed counts them.
bool archive_erase(Archive* archive, const char* target, ArchiveRemovedFn each, void* context,
                   long long* removed);

// Removes the records received before `before` (seconds since 1970).
bool archive_purge(Archive* archive, long long before, long long* removed);

// What -check reports of the archive.
bool archive_facts(Archive* archive, ArchiveFacts* facts);

// The time of the last purge a run made, and marking one now (so that runs
// purge at most once an hour).
bool archive_purge_due(Archive* archive, long long now, long long every_seconds);
