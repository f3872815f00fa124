#pragma once
// One engine behind archive.h: the functions archive.cpp dispatches to.
// An engine is one file defining one ArchiveEngine (SQLite:
// archive_sqlite.cpp); adding one is adding a file and a line to
// archive_engine_for (archive.cpp). Each function follows archive.h's rule:
// false with the reason in archive->error.

#include "archive/archive_types.h"

struct ArchiveEngine {
  const char* name;
  bool (*open)(Archive* archive, const char* target, int wait_ms, bool create);
  void (*close)(Archive* archive);
  // `result`: update the record of that id (insert it when absent).
  bool (*write)(Archive* archive, const ArchiveRecord& record, bool result);
  bool (*query)(Archive* archive, const ArchiveQuery& query, ArchiveRowFn each, void* context);
  bool (*file_data)(Archive* archive, const char* id, ArchiveFileFn each, void* context);
  bool (*erase)(Archive* archive, const char* target, ArchiveRemovedFn each, void* context,
                long long* removed);
  bool (*purge)(Archive* archive, long long before, long long* removed);
  bool (*facts)(Archive* archive, ArchiveFacts* facts);
  bool (*purge_due)(Archive* archive, long long now, long long every_seconds);
};

// What an engine's erase finds first: the id and then the spool name of
// each record `target` (an id, or an address) names, kept until the rows
// are removed. archive_erase_candidate is an ArchiveRowFn over a scan.
struct ArchiveEraseScan {
  const char* target;
  bool by_id;
  char** ids;
  int count;
  int capacity;
};
bool archive_erase_candidate(const ArchiveRow& row, void* scan);
void archive_erase_scan_free(ArchiveEraseScan* scan);

extern const ArchiveEngine kSqliteArchive;
extern const ArchiveEngine kPgArchive;
