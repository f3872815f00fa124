// The interface's dispatch to the engine the `archive` setting names.
#include "archive/archive.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "archive/archive_engine.h"
#include "archive/archive_text.h"
#include "base/fatal.h"
#include "platform/os.h"

// A postgresql:// address: PostgreSQL; any other text: an SQLite file.
static const ArchiveEngine* archive_engine_for(const char* target) {
  if (archive_is_database_url(target)) return &kPgArchive;
  return &kSqliteArchive;
}

bool archive_is_database_url(const char* target) {
  return strncmp(target, "postgresql://", 13) == 0 || strncmp(target, "postgres://", 11) == 0;
}

char* archive_resolved_path(const Settings& settings, const char* ini_path) {
  const char* target = settings.archive != nullptr ? settings.archive : "";
  const char* slash = nullptr;
  for (const char* p = ini_path; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') slash = p;
  }
  bool relative = !os_path_is_absolute(target) && strstr(target, "://") == nullptr;
  size_t folder = relative && slash != nullptr ? static_cast<size_t>(slash - ini_path) + 1 : 0;
  size_t length = folder + strlen(target);
  char* path = static_cast<char*>(malloc(length + 1));
  if (path == nullptr) fatal_reply(kOutOfMemory);
  memcpy(path, ini_path, folder);
  memcpy(path + folder, target, strlen(target) + 1);
  return path;
}

bool archive_open(const Settings& settings, const char* ini_path, int wait_ms, Archive* archive,
                  bool create) {
  *archive = Archive{};
  char* path = archive_resolved_path(settings, ini_path);
  snprintf(archive->path, sizeof archive->path, "%s", path);
  free(path);
  archive->password_file = settings.database_password_file;
  archive->engine = archive_engine_for(archive->path);
  if (!archive->engine->open(archive, archive->path, wait_ms, create)) {
    archive->engine = nullptr;
    return false;
  }
  return true;
}

void archive_close(Archive* archive) {
  if (archive->engine != nullptr) archive->engine->close(archive);
  archive->engine = nullptr;
}

bool archive_record_submission(Archive* archive, const ArchiveRecord& record) {
  return archive->engine->write(archive, record, false);
}

bool archive_record_result(Archive* archive, const ArchiveRecord& record) {
  return archive->engine->write(archive, record, true);
}

bool archive_query(Archive* archive, const ArchiveQuery& query, ArchiveRowFn each,
                   void* context) {
  return archive->engine->query(archive, query, each, context);
}

namespace {

// The names seen so far, for their first-seen order: a hash set of copies.
struct NameSet {
  char** slots;
  size_t capacity;
  size_t count;
  ArchiveNameFn each;
  void* context;
};

size_t name_hash(const char* name, size_t length) {
  size_t hash = 1469598103934665603ULL;
  for (size_t i = 0; i < length; ++i) hash = (hash ^ static_cast<unsigned char>(name[i])) * 1099511628211ULL;
  return hash;
}

void name_set_grow(NameSet* set) {
  size_t capacity = set->capacity == 0 ? 64 : set->capacity * 2;
  char** slots = static_cast<char**>(calloc(capacity, sizeof(char*)));
  if (slots == nullptr) fatal_reply(kOutOfMemory);
  for (size_t i = 0; i < set->capacity; ++i) {
    if (set->slots[i] == nullptr) continue;
    size_t at = name_hash(set->slots[i], strlen(set->slots[i])) & (capacity - 1);
    while (slots[at] != nullptr) at = (at + 1) & (capacity - 1);
    slots[at] = set->slots[i];
  }
  free(set->slots);
  set->slots = slots;
  set->capacity = capacity;
}

void note_name(const char* name, size_t length, const char*, size_t, void* context) {
  NameSet* set = static_cast<NameSet*>(context);
  if ((set->count + 1) * 2 > set->capacity) name_set_grow(set);
  size_t at = name_hash(name, length) & (set->capacity - 1);
  for (; set->slots[at] != nullptr; at = (at + 1) & (set->capacity - 1)) {
    if (strcmp(set->slots[at], name) == 0) return;
  }
  set->slots[at] = strdup(name);
  if (set->slots[at] == nullptr) fatal_reply(kOutOfMemory);
  ++set->count;
  set->each(name, set->context);
}

bool note_row_names(const ArchiveRow& row, void* context) {
  archive_fields_each(row.fields, note_name, context);
  return true;
}

}  // namespace

bool archive_field_names(Archive* archive, const ArchiveQuery& query, ArchiveNameFn each,
                         void* context) {
  NameSet set = {nullptr, 0, 0, each, context};
  bool ok = archive->engine->query(archive, query, note_row_names, &set);
  for (size_t i = 0; i < set.capacity; ++i) free(set.slots[i]);
  free(set.slots);
  return ok;
}

bool archive_file_data(Archive* archive, const char* id, ArchiveFileFn each, void* context) {
  return archive->engine->file_data(archive, id, each, context);
}

static void found_add(ArchiveEraseScan* scan, const char* id) {
  if (scan->count == scan->capacity) {
    scan->capacity = scan->capacity == 0 ? 16 : scan->capacity * 2;
    void* grown = realloc(scan->ids, sizeof(char*) * static_cast<size_t>(scan->capacity));
    if (grown == nullptr) fatal_reply(kOutOfMemory);
    scan->ids = static_cast<char**>(grown);
  }
  scan->ids[scan->count] = strdup(id);
  if (scan->ids[scan->count] == nullptr) fatal_reply(kOutOfMemory);
  ++scan->count;
}

bool archive_erase_candidate(const ArchiveRow& row, void* context) {
  ArchiveEraseScan* scan = static_cast<ArchiveEraseScan*>(context);
  bool match = scan->by_id ? strcmp(row.id, scan->target) == 0
                           : archive_holds_address(row.fields, scan->target) ||
                                 archive_holds_address(row.sender, scan->target);
  if (match) {
    found_add(scan, row.id);
    found_add(scan, row.spool_name);
  }
  return true;
}

void archive_erase_scan_free(ArchiveEraseScan* scan) {
  for (int i = 0; i < scan->count; ++i) free(scan->ids[i]);
  free(scan->ids);
  scan->ids = nullptr;
  scan->count = 0;
}

bool archive_erase(Archive* archive, const char* target, ArchiveRemovedFn each, void* context,
                   long long* removed) {
  return archive->engine->erase(archive, target, each, context, removed);
}

bool archive_purge(Archive* archive, long long before, long long* removed) {
  return archive->engine->purge(archive, before, removed);
}

bool archive_facts(Archive* archive, ArchiveFacts* facts) {
  return archive->engine->facts(archive, facts);
}

bool archive_purge_due(Archive* archive, long long now, long long every_seconds) {
  return archive->engine->purge_due(archive, now, every_seconds);
}
