#include "archive/archive_spool.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/fatal.h"
#include "base/json.h"
#include "deliver/spool_store.h"
#include "platform/os.h"

namespace {

constexpr char kHead[] = "QUILLON spool 2\ndestination: record\n\n";

// The record's texts by their names in the file.
const struct {
  const char* name;
  const char* ArchiveRecord::*text;
} kTexts[] = {
    {"id", &ArchiveRecord::id},
    {"form", &ArchiveRecord::form},
    {"language", &ArchiveRecord::language},
    {"fields", &ArchiveRecord::fields},
    {"files", &ArchiveRecord::files},
    {"client", &ArchiveRecord::client},
    {"user_agent", &ArchiveRecord::user_agent},
    {"sender", &ArchiveRecord::sender},
    {"subject", &ArchiveRecord::subject},
    {"excerpt", &ArchiveRecord::excerpt},
    {"verdict", &ArchiveRecord::verdict},
    {"spam_verdict", &ArchiveRecord::spam_verdict},
    {"spam_reasons", &ArchiveRecord::spam_reasons},
    {"virus_verdict", &ArchiveRecord::virus_verdict},
    {"webhooks", &ArchiveRecord::webhooks},
    {"outcome", &ArchiveRecord::outcome},
    {"server_reply", &ArchiveRecord::server_reply},
    {"message_id", &ArchiveRecord::message_id},
    {"spool_name", &ArchiveRecord::spool_name},
};

void take_member(void* context, const JsonMember* member) {
  ArchiveWaiting* waiting = static_cast<ArchiveWaiting*>(context);
  ArchiveRecord& record = waiting->record;
  if (member->kind == JsonKind::kNumber) {
    double number = strtod(member->value, nullptr);
    if (strcmp(member->name, "received") == 0) record.received = static_cast<long long>(number);
    if (strcmp(member->name, "elapsed_ms") == 0) record.elapsed_ms = static_cast<long long>(number);
    if (strcmp(member->name, "spam_score") == 0) {
      record.spam_score = number;
      record.has_spam_score = true;
    }
    return;
  }
  if (member->kind != JsonKind::kString || waiting->count == 32) return;
  for (const auto& entry : kTexts) {
    if (strcmp(member->name, entry.name) != 0 || record.*entry.text != nullptr) continue;
    char* copy = static_cast<char*>(malloc(member->value_length + 1));
    if (copy == nullptr) fatal_reply(kOutOfMemory);
    memcpy(copy, member->value, member->value_length + 1);
    waiting->texts[waiting->count++] = copy;
    record.*entry.text = copy;
  }
}

}  // namespace

char* archive_waiting_text(const ArchiveRecord& record) {
  TextBuffer* out = text_buffer_new(kHead);
  text_buffer_append(out, "{\"received\":%lld,\"elapsed_ms\":%lld", record.received,
                     record.elapsed_ms);
  if (record.has_spam_score) text_buffer_append(out, ",\"spam_score\":%.17g", record.spam_score);
  for (const auto& entry : kTexts) {
    const char* value = record.*entry.text;
    if (value == nullptr) continue;
    text_buffer_append(out, ",\"%s\":", entry.name);
    json_append_string(out, value, strlen(value));
  }
  text_buffer_append_bytes(out, "}\n", 2);
  char* text = out->data;
  out->data = nullptr;
  text_buffer_free(out);
  return text;
}

bool archive_waiting_read(const char* text, size_t length, ArchiveWaiting* out) {
  *out = ArchiveWaiting{};
  size_t head = sizeof kHead - 1;
  if (length < head || memcmp(text, kHead, head) != 0) return false;
  size_t end = length;
  while (end > head && (text[end - 1] == '\n' || text[end - 1] == '\r')) --end;
  JsonError error;
  bool read = json_read_object(text + head, end - head, false, take_member, out, &error);
  if (!read || out->record.id == nullptr || out->record.fields == nullptr) {
    archive_waiting_free(out);
    return false;
  }
  return true;
}

void archive_waiting_free(ArchiveWaiting* waiting) {
  for (int i = 0; i < waiting->count; ++i) free(waiting->texts[i]);
  *waiting = ArchiveWaiting{};
}

namespace {

struct WaitingFolders {
  SpoolStore store;
  char* records;
};

void open_folders(const Settings& settings, const char* ini_path, WaitingFolders* folders) {
  spool_store_open(settings.spool_folder, ini_path, settings.spool_keep_sent,
                   settings.smtp_timeout, nullptr, &folders->store);
  folders->records = spool_path(folders->store.root, "records");
}

void close_folders(WaitingFolders* folders) {
  free(folders->records);
  spool_store_close(&folders->store);
}

}  // namespace

bool archive_keep_waiting(const Settings& settings, const char* ini_path,
                          const ArchiveRecord& record, char* why, size_t size) {
  if (settings.spool_folder == nullptr) {
    snprintf(why, size, "no spool_folder to keep it in");
    return false;
  }
  WaitingFolders folders;
  open_folders(settings, ini_path, &folders);
  char name[kSpoolFileNameSize];
  snprintf(name, sizeof name, "%s.txt", record.id);
  char* tmp = spool_path(folders.store.tmp, name);
  char* kept = spool_path(folders.records, name);
  char* text = archive_waiting_text(record);
  int err = spool_ensure_folder(folders.store.root);
  if (err == 0) err = spool_ensure_folder(folders.store.tmp);
  if (err == 0) err = spool_ensure_folder(folders.records);
  if (err == 0) err = os_write_new_file(tmp, text, strlen(text), true);
  if (err == 0) err = os_rename_noreplace(tmp, kept);
  if (err == 0) os_flush_directory(folders.records);
  if (err != 0) {
    os_remove_file(tmp);
    snprintf(why, size, "%s cannot be written (%d: %s)", kept, err, strerror(err));
  }
  free(text);
  free(tmp);
  free(kept);
  close_folders(&folders);
  return err == 0;
}

static bool add_one(Archive* archive, const char* path, const char** outcome) {
  char* data = nullptr;
  size_t length = 0;
  if (os_read_regular_file(path, 1 << 26, &data, &length) != 0) {
    *outcome = "kept (cannot be read)";
    return false;
  }
  ArchiveWaiting waiting;
  bool read = archive_waiting_read(data, length, &waiting);
  free(data);
  if (!read) {
    *outcome = "kept (not a waiting record)";
    return false;
  }
  bool added = archive_record_result(archive, waiting.record);
  archive_waiting_free(&waiting);
  *outcome = added ? "added" : "kept (the archive did not take it)";
  return added;
}

bool archive_add_waiting(Archive* archive, const Settings& settings, const char* ini_path,
                         ArchiveWaitingFn each, void* context, int* added, int* left) {
  *added = 0;
  *left = 0;
  if (settings.spool_folder == nullptr) return true;
  WaitingFolders folders;
  open_folders(settings, ini_path, &folders);
  NameList names = {};
  bool listed = !os_is_directory(folders.records) || spool_list_sorted(folders.records, &names) == 0;
  for (int i = 0; i < names.count; ++i) {
    char* path = spool_path(folders.records, names.names[i]);
    const char* outcome = "";
    if (add_one(archive, path, &outcome)) {
      os_remove_file(path);
      ++*added;
    } else {
      ++*left;
    }
    if (each != nullptr) each(names.names[i], outcome, context);
    free(path);
  }
  spool_free_names(&names);
  close_folders(&folders);
  if (!listed) snprintf(archive->error, sizeof archive->error, "records/ cannot be listed");
  return listed;
}
