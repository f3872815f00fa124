#include "deliver/quarantine_copy.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "base/text.h"
#include "platform/os.h"

// The spool file's text with the verdict's lines before its envelope, as
// the quarantine writes them (spool_file.h).
static char* quarantine_text(const SpoolMessage& message, const char* mark, const char* reasons,
                             size_t* length) {
  SpoolMessage marked = message;
  marked.scan_pending = false;
  marked.judge_shared_state = false;
  SpoolVerdict verdict = {"refused", mark, reasons, nullptr, spool_now_seconds()};
  return spool_format_quarantined(marked, verdict, length);
}

int quarantine_keep_spooled(const SpoolStore& store, const char* base, const SpoolMessage& message,
                    const char* mark, const char* reasons) {
  char name[kSpoolFileNameSize];
  snprintf(name, sizeof name, "%s.txt", base);
  char* tmp = spool_path(store.tmp, name);
  char* kept = spool_path(store.quarantine, name);
  size_t length = 0;
  char* data = quarantine_text(message, mark, reasons, &length);
  const char* which = nullptr;
  int err = spool_ensure_folders(store, &which);
  if (err == 0) err = spool_ensure_folder(store.quarantine);
  if (err == 0) err = os_write_new_file(tmp, data, length, true);
  if (err == 0) err = os_rename_noreplace(tmp, kept);
  if (err != 0) {
    os_remove_file(tmp);
    log_event(LOG_ERROR, "spool: the %s message cannot be kept in {%s} (%d: %s).", mark, kept,
              err, strerror(err));
  } else {
    log_event(LOG_DEBUG, "spool: the %s message is kept as {%s}.", mark, kept);
  }
  free(data);
  free(tmp);
  free(kept);
  return err;
}
