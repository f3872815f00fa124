#pragma once
// The SQLite engine's own: what its two files (archive_sqlite.cpp: opening
// and writing; archive_sqlite_query.cpp: reading, erasing, purging) share.
// Not for other modules, which use archive.h.

#include "archive/archive_engine.h"

struct sqlite3;

sqlite3* sqlite_db(Archive* archive);
// Sets archive->error to "archive PATH: <doing>: <SQLite's message>"; false.
bool sqlite_fail(Archive* archive, const char* doing);
// Runs `sql` (one or more statements); false with archive->error set.
bool sqlite_run(Archive* archive, const char* sql, const char* doing);

bool sqlite_query(Archive* archive, const ArchiveQuery& query, ArchiveRowFn each, void* context);
bool sqlite_file_data(Archive* archive, const char* id, ArchiveFileFn each, void* context);
bool sqlite_erase(Archive* archive, const char* target, ArchiveRemovedFn each, void* context,
                  long long* removed);
bool sqlite_purge(Archive* archive, long long before, long long* removed);
bool sqlite_facts(Archive* archive, ArchiveFacts* facts);
bool sqlite_purge_due(Archive* archive, long long now, long long every_seconds);
