// Hook files on disk (see webhook_store.h).
#include "deliver/webhook_store.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "deliver/webhook_file.h"
#include "platform/os.h"

namespace {

int write_through_tmp(const SpoolStore& store, const char* name, const char* data, size_t length,
                      bool replace, const char** step) {
  char* tmp = spool_path(store.tmp, name);
  char* hook = spool_path(store.hooks, name);
  *step = "write";
  int err = os_is_link(store.tmp) || os_is_link(store.hooks)
                ? ELOOP
                : os_write_new_file(tmp, data, length, true);
  if (err == 0) {
    *step = "rename into hooks/";
    // The old copy goes only once the new one is on disk in tmp/: a power
    // cut between the two leaves it there for a person (spool_clear_tmp).
    if (replace) (void)os_remove_file(hook);
    err = os_rename_noreplace(tmp, hook);
    if (err != 0) os_remove_file(tmp);
  } else if (err != ELOOP) {
    os_remove_file(tmp);
  }
  if (err == 0) {
    int flushed = os_flush_directory(store.hooks);
    if (flushed != 0) {
      log_event(LOG_ERROR, "spool: hooks/ {%s} cannot be flushed to disk (%d: %s).", store.hooks,
                flushed, strerror(flushed));
    }
  }
  free(tmp);
  free(hook);
  return err;
}

}  // namespace

int hook_store_write(const SpoolStore& store, const char* name, const char* data, size_t length,
                     bool replace) {
  const char* step = "write";
  int err = write_through_tmp(store, name, data, length, replace, &step);
  if (err == ENOENT) {
    const char* which = nullptr;
    err = spool_ensure_folders(store, &which);
    if (err == 0) err = spool_ensure_folder(store.hooks);
    if (err == 0) err = write_through_tmp(store, name, data, length, replace, &step);
  }
  if (err != 0) {
    log_event(LOG_ERROR, "spool: the webhook {%s} cannot be kept in {%s}: %s failed (%d: %s).",
              name, store.hooks, step, err, strerror(err));
  }
  return err;
}

int hook_store_put_back(const SpoolStore& store, const char* from, const char* name,
                        const char* data, size_t length) {
  int err = hook_store_write(store, name, data, length, false);
  if (err == 0) (void)os_remove_file(from);
  return err;
}

int hook_store_drop_held(const SpoolStore& store, const char* name) {
  NameList names;
  if (spool_list_sorted(store.hooks, &names) != 0) return 0;
  size_t name_length = strlen(name);
  int removed = 0;
  for (int i = 0; i < names.count; ++i) {
    size_t base_length = 0;
    if (!hook_file_name_parse(names.names[i], &base_length) || base_length != name_length ||
        memcmp(names.names[i], name, name_length) != 0) {
      continue;
    }
    char* path = spool_path(store.hooks, names.names[i]);
    size_t length = 0;
    const char* why = nullptr;
    int open_error = 0;
    char* data = spool_read_file(path, &length, &why, &open_error);
    HookFile hook;
    // Only a held hook goes: one already released is the owner's to keep.
    if (data != nullptr && hook_file_parse(data, length, &hook, &why) &&
        strcmp(hook.held, name) == 0 && os_remove_file(path) == 0) {
      ++removed;
    }
    free(data);
    free(path);
  }
  spool_free_names(&names);
  return removed;
}
