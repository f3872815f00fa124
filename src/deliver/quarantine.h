#pragma once
// The quarantine: whole messages a judge kept for the owner's review (spam,
// and later files a scanner called infected), in quarantine/ of the spool
// as NAME.txt (NAME: the submission's id), each with its verdict, mark,
// reasons and time (spool_file.h). Kept, listed, read, released into the
// queue exactly once, removed, pruned. Part of the delivery layer: may use
// the spool (spool_store.h, spool_file.h), config, base and the platform.
//
// Errors: functions that touch the disk return 0 or the errno value, and
// log what a person must know where it is found.

#include <cstddef>

#include "deliver/deliver.h"
#include "deliver/spool_store.h"

// Keeps `message` (as it would be sent) as quarantine/NAME.txt, written
// through tmp/ and flushed to disk, within spool_max_mb. Returns 0 or the
// error (logged with the path).
int quarantine_keep(const SpoolStore& store, const char* name, const SubmittedMessage& message,
                    const char* line_ending, int max_mb, const SpoolVerdict& verdict);

// Whether `name` may name a quarantined message: a spool NAME (".txt" may
// follow), nothing that could leave the folder.
bool quarantine_name_valid(const char* name);

// Reads quarantine/NAME(.txt) into `out`; false with the reason in `why`.
bool quarantine_read(const SpoolStore& store, const char* name, SpoolMessage* out, char* why,
                     size_t why_size);

// The bytes of quarantine/NAME(.txt) as a heap text (the whole file), or
// null with the reason.
char* quarantine_file(const SpoolStore& store, const char* name, size_t* length, char* why,
                      size_t why_size);

// Moves quarantine/NAME(.txt) into queue/ under a fresh name (*queued_name,
// kSpoolFileNameSize bytes) so that it is sent exactly once, by the next
// delivery of the queue; a second release finds nothing (ENOENT).
int quarantine_release(const SpoolStore& store, const char* name, char* queued_name,
                       size_t queued_size);

// Removes quarantine/NAME(.txt). Returns 0, ENOENT, or the error.
int quarantine_remove(const SpoolStore& store, const char* name);

// Removes the files of quarantine/ kept more than `days` days (0: none),
// and the webhooks held for them in hooks/.
// Returns 0 or the error of listing it (a missing folder is none).
int quarantine_prune(const SpoolStore& store, int days, int* removed);
