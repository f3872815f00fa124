// Hook files on disk (see webhook_store.h).
#include "deliver/webhook_store.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
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
