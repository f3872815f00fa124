#pragma once
// Records waiting in the spool: a record the archive could not take is
// kept beside the messages, in the spool's records/ folder, as a format 2
// spool file ("destination: record", then the record as one JSON object),
// and -resend adds it to the archive later. Uses the spool's folders
// (deliver/spool_store.h) and the archive's interface.
//
// Errors: as archive.h: false with the reason in words; nothing logged.

#include <cstddef>

#include "archive/archive.h"

// The spool file's text for `record` (heap, NUL-ended; caller frees).
char* archive_waiting_text(const ArchiveRecord& record);

// Reads a text archive_waiting_text made into `out`, whose texts point into
// `storage` (release with archive_waiting_free). False when it is not one.
struct ArchiveWaiting {
  ArchiveRecord record;
  char* texts[32];
  int count;
};
bool archive_waiting_read(const char* text, size_t length, ArchiveWaiting* out);
void archive_waiting_free(ArchiveWaiting* waiting);

// Writes the record to records/ID.txt of the spool `settings` names
// (through tmp/, flushed to disk).
bool archive_keep_waiting(const Settings& settings, const char* ini_path,
                          const ArchiveRecord& record, char* why, size_t size);

// Adds each record waiting in the spool to `archive`, oldest first, and
// removes its file once it is in. `each` hears every file with "added" or
// why it stays. *left counts those that stay.
using ArchiveWaitingFn = void (*)(const char* name, const char* outcome, void* context);
bool archive_add_waiting(Archive* archive, const Settings& settings, const char* ini_path,
                         ArchiveWaitingFn each, void* context, int* added, int* left);
