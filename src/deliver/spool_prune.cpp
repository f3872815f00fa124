#include <cerrno>
#include <cstdlib>

#include "base/log.h"
#include "deliver/spool_store.h"
#include "platform/os.h"

int spool_prune_sent(const SpoolStore& store, int days, int* removed) {
  *removed = 0;
  if (days <= 0) return 0;
  NameList names;
  int err = spool_list_sorted(store.sent, &names);
  if (err != 0) return err == ENOENT ? 0 : err;  // nothing was ever sent
  long long oldest = spool_now_seconds() - days * 86400LL;
  for (int i = 0; i < names.count; ++i) {
    char* file = spool_path(store.sent, names.names[i]);
    long long mtime = 0;
    if (os_file_mtime(file, &mtime) == 0 && mtime < oldest) {
      if (os_remove_file(file) == 0) {
        ++*removed;
      } else {
        log_event(LOG_ERROR, "resend: sent/ file {%s} could not be removed.", file);
      }
    }
    free(file);
  }
  spool_free_names(&names);
  return 0;
}
