#pragma once
// The archive's tables on PostgreSQL, as -archive init prints and runs
// them (a run never makes them), and the rights the CGI's database user
// needs on them: rows only, no DDL. The same columns as the SQLite file's
// (archive_schema.h). May use src/db and src/base.

#include <cstddef>

#include "base/text.h"
#include "db/pg_lib.h"

extern const PgTableRights kArchivePgTables[];
extern const int kArchivePgTableCount;

// The script that makes the tables and grants `role` its rights (heap;
// text_buffer_free).
TextBuffer* archive_pg_schema(const char* role);

// Counts the archive's tables that are missing or lack a right, saying
// each through `say`; -1 when the database cannot be asked (why in
// `error`).
int archive_pg_tables_check(PgLink* link, void (*say)(const char* line), char* error,
                            size_t size);
