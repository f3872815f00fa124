#pragma once
// The SQLite library, loaded at run time on first use (libsqlite3.so.0;
// on Windows the system's winsqlite3.dll or a sqlite3.dll beside the
// program), so that a run without an archive neither needs nor loads it.
// Holds the few functions the archive calls, as pointers. May use
// src/platform only.
//
// Errors: sqlite_lib_load returns false with the reason; the functions keep
// SQLite's own result codes.

#include <cstddef>
#include <cstdint>

struct sqlite3;
struct sqlite3_stmt;

// The result and flag values used here (SQLite's own numbers).
constexpr int kSqliteOk = 0;
constexpr int kSqliteBusy = 5;
constexpr int kSqliteRow = 100;
constexpr int kSqliteDone = 101;
constexpr int kSqliteOpenReadWrite = 0x00000002;
constexpr int kSqliteOpenCreate = 0x00000004;
constexpr int kSqliteOpenNoMutex = 0x00008000;
constexpr int kSqliteNull = 5;  // sqlite3_column_type
constexpr int kSqliteCheckpointTruncate = 3;
constexpr int kSqliteConfigLookaside = 1001;     // SQLITE_DBCONFIG_LOOKASIDE
constexpr int kSqliteConfigNoCheckpointOnClose = 1006;  // SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE

using SqliteDestructor = void (*)(void*);
// SQLITE_TRANSIENT: SQLite copies the bound text.
#define QUILLON_SQLITE_TRANSIENT reinterpret_cast<SqliteDestructor>(-1)

struct SqliteLib {
  int (*open_v2)(const char* path, sqlite3** db, int flags, const char* vfs);
  int (*close_v2)(sqlite3* db);
  int (*exec)(sqlite3* db, const char* sql, int (*each)(void*, int, char**, char**), void* context,
              char** error);
  int (*prepare_v2)(sqlite3* db, const char* sql, int length, sqlite3_stmt** statement,
                    const char** tail);
  int (*step)(sqlite3_stmt* statement);
  int (*reset)(sqlite3_stmt* statement);
  int (*finalize)(sqlite3_stmt* statement);
  int (*bind_text)(sqlite3_stmt* statement, int index, const char* text, int length,
                   SqliteDestructor destructor);
  int (*bind_blob)(sqlite3_stmt* statement, int index, const void* data, int length,
                   SqliteDestructor destructor);
  int (*bind_int64)(sqlite3_stmt* statement, int index, int64_t value);
  int (*bind_double)(sqlite3_stmt* statement, int index, double value);
  int (*bind_null)(sqlite3_stmt* statement, int index);
  const unsigned char* (*column_text)(sqlite3_stmt* statement, int column);
  int (*column_bytes)(sqlite3_stmt* statement, int column);
  int64_t (*column_int64)(sqlite3_stmt* statement, int column);
  int (*column_type)(sqlite3_stmt* statement, int column);
  int (*busy_timeout)(sqlite3* db, int ms);
  int (*db_config)(sqlite3* db, int op, ...);
  int (*changes)(sqlite3* db);
  const char* (*errmsg)(sqlite3* db);
  void (*free)(void* memory);
  int (*wal_checkpoint_v2)(sqlite3* db, const char* schema, int mode, int* log_frames,
                           int* checkpointed);
};

extern SqliteLib g_sqlite;

// Loads the library once per process; later calls repeat the first answer.
bool sqlite_lib_load(char* why, size_t size);
