#include "deliver/quarantine_copy.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "base/text.h"
#include "platform/os.h"

// The spool file's text with the mark and the reasons after its head:
// "QUILLON spool 2", "destination: mail", then "mark: ..." and "reasons: ...".
static char* quarantine_text(const SpoolMessage& message, const char* mark, const char* reasons,
                             size_t* length) {
  SpoolMessage marked = message;
  marked.scan_pending = false;
  marked.judge_shared_state = false;
  size_t spool_length = 0;
  char* spool = spool_format(marked, &spool_length);
  const char* envelope = strchr(spool, '\n') + 1;  // past "QUILLON spool 1"
  TextBuffer* file = text_buffer_new("");
  text_buffer_append(file, "QUILLON spool 2\ndestination: mail\nmark: %s\nreasons: ", mark);
  // A reason quotes a file name: no line break may end the line early.
  for (const char* p = reasons; *p != '\0'; ++p) {
    text_buffer_append(file, "%c", *p == '\r' || *p == '\n' ? ' ' : *p);
  }
  text_buffer_append(file, "\n");
  text_buffer_append_bytes(file, envelope,
                           static_cast<int>(spool_length - static_cast<size_t>(envelope - spool)));
  free(spool);
  char* data = file->data;
  *length = static_cast<size_t>(file->length);
  free(file);
  return data;
}

int quarantine_keep(const SpoolStore& store, const char* base, const SpoolMessage& message,
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

void deliver_quarantine(const DeliveryContext& context, const SubmittedMessage& submitted,
                        const char* mark, const char* reasons, char* name, size_t name_size) {
  name[0] = '\0';
  const Settings& settings = *context.settings;
  if (settings.spool_folder == nullptr) return;
  SpoolStore store;
  spool_store_open(settings.spool_folder, context.ini_path, settings.spool_keep_sent,
                   settings.smtp_timeout, context.pause_at, &store);
  char base[kSpoolNameSize];
  SpoolName parsed;
  if (context.submission_id != nullptr &&
      spool_parse_name(context.submission_id, /*folder=*/true, &parsed)) {
    snprintf(base, sizeof base, "%s", context.submission_id);
  } else {
    spool_new_name(base, sizeof base);
  }
  SpoolMessage message = {settings_line_ending(settings), const_cast<char*>(submitted.from),
                          const_cast<char*>(submitted.to), const_cast<char*>(submitted.cc),
                          const_cast<char*>(submitted.bcc), const_cast<char*>(submitted.header),
                          const_cast<char*>(submitted.body)};
  if (quarantine_keep(store, base, message, mark, reasons) == 0) {
    snprintf(name, name_size, "%s", base);
  }
  spool_store_close(&store);
}
