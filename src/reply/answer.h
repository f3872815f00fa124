#pragma once
// The answer to a submission, whichever way it ended: the CORS headers for
// an allowed Origin, then the JSON answer (for a request whose Accept
// prefers application/json), a 303 redirect (success_redirect and the
// like), or the HTML page with its optional Status: line (http_status);
// and the answer to an OPTIONS preflight. May use src/config, src/form,
// src/base and src/platform; reads no environment (the driver passes what
// the request said). Errors: nothing here fails; a page file that cannot be
// read is handled as page.h says.

#include "base/field_names.h"
#include "base/text.h"
#include "config/settings.h"
#include "form/form.h"
#include "base/outcome.h"
#include "base/request.h"

// Writes the whole answer to standard output. `settings` is null when the
// settings file could not be read (then only a JSON answer is written: the
// HTML pages need the settings); `form` gives the page tokens (null: every
// field is ""); `missing` holds the missing names (only for
// Outcome::kMissing, else null); `spooled` says the message waits in the
// spool's queue (the pages' ||quillon_spooled||); `id` is the submission's
// id, the JSON answer's last member "id" (null: a run without one, no
// member). The pages' ||quillon_outcome|| and ||quillon_message|| are the
// JSON answer's outcome word and message.
void send_answer(Outcome outcome, const Settings* settings, const FormTable* form,
                 const FieldNames* missing, bool spooled, const Request& request, const char* id);

// The answer to an OPTIONS request: when its Origin passes allowed_origin,
// writes the 204 preflight answer (methods, headers, max-age) and returns
// true; otherwise writes nothing and returns false (the caller answers 405).
bool send_preflight_answer(const Settings& settings, const Request& request);

// The request's Origin when it passes the settings' allowed_origin lines
// and may be written back as it is (printable ASCII, no blank), else null.
// Without allowed_origin lines no origin passes.
const char* cors_origin(const Settings& settings, const char* origin);

// The whole JSON answer for `outcome` as send_answer writes it (CORS
// header lines, Status line, the other header lines, the object), appended
// to `out`: prepared in advance for an end that cannot build it then.
void append_whole_json_answer(TextBuffer* out, Outcome outcome, const Settings* settings,
                              const Request& request, const char* id);

// The JSON answer's object for `outcome` (with the names of `missing` in
// "missing", and "id" when `id` is not null), appended to `out`.
void append_json_answer(TextBuffer* out, Outcome outcome, const FieldNames* missing,
                        const char* id);
