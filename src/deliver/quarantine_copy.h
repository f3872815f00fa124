#pragma once
// The copy of a message a judge stopped and kept for the owner to look at:
// quarantine/NAME.txt, a spool file (format 2) with its verdict, mark
// ("infected") and reasons before the envelope, as deliver/quarantine.h
// reads it. The one place
// such a copy is written, by a CGI run and by -resend alike. Part of the
// delivery layer (deliver/deliver.h's error rule): may use the spool's
// store and file format, src/base and src/platform.

#include <cstddef>

#include "deliver/deliver.h"
#include "deliver/spool_store.h"

// Writes `message` to quarantine/BASE.txt through tmp/ (the folder made
// when missing). Returns 0 or the error, logged with the path.
int quarantine_keep_spooled(const SpoolStore& store, const char* base, const SpoolMessage& message,
                    const char* mark, const char* reasons);

// A CGI run's copy of `message` (the submission's id names it, as its
// spool copy would be named) when `spool_folder` is set; its NAME into
// `name` ("" when none was written).
void deliver_quarantine(const DeliveryContext& context, const SubmittedMessage& message,
                        const char* mark, const char* reasons, char* name, size_t name_size);
