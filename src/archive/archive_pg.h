#pragma once
// The PostgreSQL engine's own: what its two files (archive_pg.cpp:
// connecting and writing; archive_pg_query.cpp: reading, erasing,
// purging) share. Not for other modules, which use archive.h.

#include "archive/archive_engine.h"
#include "db/pg_lib.h"

struct PgArchive {
  PgLink link;
  int wait_ms;  // each statement's time
};

PgArchive* pg_archive(Archive* archive);
// Sets archive->error to "archive URL: <doing>: <why>"; false.
bool pg_archive_fail(Archive* archive, const char* doing, const char* why);
// Runs one statement within wait_ms; false with archive->error set.
bool pg_archive_run(Archive* archive, const char* sql, const char* const* params, int count,
                    PgAnswer* answer, const char* doing);
// Ends a transaction that failed, keeping the first reason.
void pg_archive_roll_back(Archive* archive);

bool pg_archive_query(Archive* archive, const ArchiveQuery& query, ArchiveRowFn each,
                      void* context);
bool pg_archive_file_data(Archive* archive, const char* id, ArchiveFileFn each, void* context);
bool pg_archive_erase(Archive* archive, const char* target, ArchiveRemovedFn each, void* context,
                      long long* removed);
bool pg_archive_purge(Archive* archive, long long before, long long* removed);
bool pg_archive_facts(Archive* archive, ArchiveFacts* facts);
bool pg_archive_purge_due(Archive* archive, long long now, long long every_seconds);
