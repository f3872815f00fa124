#pragma once
// The copy -resend keeps of a held message its scan found infected:
// quarantine/NAME.txt, a spool file (format 2) with its verdict, mark
// ("infected") and reasons before the envelope, as deliver/quarantine.h
// reads it (a CGI run keeps its copies through deliver/quarantine.h).
// Part of the delivery layer (deliver/deliver.h's error rule): may use the
// spool's store and file format, src/base and src/platform.

#include <cstddef>

#include "deliver/deliver.h"
#include "deliver/spool_store.h"

// Writes `message` to quarantine/BASE.txt through tmp/ (the folder made
// when missing). Returns 0 or the error, logged with the path.
int quarantine_keep_spooled(const SpoolStore& store, const char* base, const SpoolMessage& message,
                    const char* mark, const char* reasons);
