#include "deliver/quarantine.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "deliver/webhook_store.h"
#include "platform/os.h"

namespace {

// quarantine/NAME.txt for NAME or NAME.txt; null for a name that is none.
char* file_of(const SpoolStore& store, const char* name) {
  if (!quarantine_name_valid(name)) return nullptr;
  char file[kSpoolFileNameSize];
  size_t length = strlen(name);
  bool has_txt = length > 4 && strcmp(name + length - 4, ".txt") == 0;
  snprintf(file, sizeof file, "%s%s", name, has_txt ? "" : ".txt");
  return spool_path(store.quarantine, file);
}

}  // namespace

bool quarantine_name_valid(const char* name) {
  char base[kSpoolNameSize];
  size_t length = strlen(name);
  if (length > 4 && strcmp(name + length - 4, ".txt") == 0) length -= 4;
  if (length == 0 || length >= sizeof base) return false;
  memcpy(base, name, length);
  base[length] = '\0';
  SpoolName parsed;
  return spool_parse_name(base, /*folder=*/true, &parsed);
}

int quarantine_keep(const SpoolStore& store, const char* name, const SubmittedMessage& submitted,
                    const char* line_ending, int max_mb, const SpoolVerdict& verdict) {
  SpoolMessage message = {line_ending,
                          const_cast<char*>(submitted.from),
                          const_cast<char*>(submitted.to),
                          const_cast<char*>(submitted.cc),
                          const_cast<char*>(submitted.bcc),
                          const_cast<char*>(submitted.header),
                          const_cast<char*>(submitted.body)};
  size_t length = 0;
  char* data = spool_format_quarantined(message, verdict, &length);
  char* target = file_of(store, name);
  char tmp_name[kSpoolFileNameSize];
  snprintf(tmp_name, sizeof tmp_name, "%s.quarantine.txt", name);
  char* tmp = spool_path(store.tmp, tmp_name);
  const char* which = nullptr;
  int err = target == nullptr ? EINVAL : 0;
  if (err == 0 && !spool_has_room(store, length, max_mb)) err = ENOSPC;
  if (err == 0) err = spool_ensure_folders(store, &which);
  if (err == 0) err = spool_ensure_folder(store.quarantine);
  if (err == 0 && os_is_link(store.quarantine)) err = ELOOP;
  if (err == 0) err = os_write_new_file(tmp, data, length, true);
  if (err == 0) {
    err = os_rename_noreplace(tmp, target);
    if (err != 0) (void)os_remove_file(tmp);
  }
  if (err == 0) (void)os_flush_directory(store.quarantine);
  if (err != 0) {
    log_event(LOG_ERROR, "quarantine: cannot keep the message in {%s} (%d: %s).",
              which != nullptr ? which : store.quarantine, err, strerror(err));
  }
  free(tmp);
  free(target);
  free(data);
  return err;
}

char* quarantine_file(const SpoolStore& store, const char* name, size_t* length, char* why,
                      size_t why_size) {
  char* file = file_of(store, name);
  if (file == nullptr) {
    snprintf(why, why_size, "{%s} names no quarantined message", name);
    return nullptr;
  }
  const char* reason = nullptr;
  int open_error = 0;
  char* data = spool_read_file(file, length, &reason, &open_error);
  if (data == nullptr) {
    snprintf(why, why_size, "%s: %s", name,
             open_error == ENOENT ? "no such message in quarantine/" : reason);
  }
  free(file);
  return data;
}

bool quarantine_read(const SpoolStore& store, const char* name, SpoolMessage* out, char* why,
                     size_t why_size) {
  size_t length = 0;
  char* data = quarantine_file(store, name, &length, why, why_size);
  if (data == nullptr) return false;
  const char* reason = nullptr;
  bool parsed = spool_parse(data, length, out, &reason);
  if (!parsed) snprintf(why, why_size, "%s is not a spool file: %s", name, reason);
  free(data);
  return parsed;
}

int quarantine_release(const SpoolStore& store, const char* name, char* queued_name,
                       size_t queued_size) {
  char* file = file_of(store, name);
  if (file == nullptr) return EINVAL;
  // A fresh name: the queue gives up on messages named older than a week,
  // and a released message starts its tries now.
  char base[kSpoolNameSize];
  spool_new_name(base, sizeof base);
  snprintf(queued_name, queued_size, "%s_0.txt", base);
  char* queued = spool_path(store.queue, queued_name);
  const char* which = nullptr;
  int err = spool_ensure_folders(store, &which);
  if (err == 0) err = os_rename_noreplace(file, queued);
  if (err == 0) (void)os_flush_directory(store.queue);
  free(queued);
  free(file);
  return err;
}

int quarantine_remove(const SpoolStore& store, const char* name) {
  char* file = file_of(store, name);
  if (file == nullptr) return EINVAL;
  int err = os_remove_file(file);
  free(file);
  return err;
}

int quarantine_prune(const SpoolStore& store, int days, int* removed) {
  *removed = 0;
  if (days <= 0) return 0;
  NameList names;
  int err = spool_list_sorted(store.quarantine, &names);
  if (err != 0) return err == ENOENT ? 0 : err;
  long long oldest = spool_now_seconds() - days * 86400LL;
  for (int i = 0; i < names.count; ++i) {
    char* file = spool_path(store.quarantine, names.names[i]);
    long long mtime = 0;
    if (os_file_mtime(file, &mtime) == 0 && mtime < oldest) {
      if (os_remove_file(file) == 0) {
        ++*removed;
        // The webhooks held for it go with it.
        size_t length = strlen(names.names[i]);
        if (length > 4 && strcmp(names.names[i] + length - 4, ".txt") == 0) {
          names.names[i][length - 4] = '\0';
          (void)hook_store_drop_held(store, names.names[i]);
        }
      } else {
        log_event(LOG_ERROR, "quarantine: {%s} could not be removed.", file);
      }
    }
    free(file);
  }
  spool_free_names(&names);
  return 0;
}
