#pragma once
// Hook files on disk: written into hooks/ through tmp/ (flushed, so that a
// power cut loses none), replaced with their next try, taken out. Part of
// the delivery layer (deliver/webhook.h); uses the spool's folders
// (spool_store.h) and logs each failure where it is found.

#include <cstddef>

#include "deliver/spool_store.h"

// Writes `data` as hooks/`name` through tmp/, the folders made when one is
// missing; replaces a file of that name when `replace`. Returns 0 or the
// error (logged).
int hook_store_write(const SpoolStore& store, const char* name, const char* data, size_t length,
                     bool replace);

// Writes `data` as hooks/`name` and then removes `from` (a claimed copy).
// Returns 0 or the error (logged; `from` is left then).
int hook_store_put_back(const SpoolStore& store, const char* from, const char* name,
                        const char* data, size_t length);

// Removes the hook files of hooks/ held for quarantine/`name` (its message
// was discarded or pruned) or queue/`name` (given up by -resend). Returns
// how many were removed.
int hook_store_drop_held(const SpoolStore& store, const char* name);
