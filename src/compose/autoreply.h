#pragma once
// The confirmation mail to the visitor: its envelope and message, built
// from the autoreply_* settings and the form. Whether one may go at all
// (a passed CAPTCHA, the window per address) is the caller's to decide.
// May use src/config, src/form, src/base and src/platform, and the message
// builders of message.h; nothing of the delivery.
//
// Errors: autoreply_assemble says yes or no, the reason logged as one error
// line; running out of memory ends the process (fatal_reply).

#include <cstddef>

#include "compose/envelope.h"
#include "compose/message.h"
#include "config/settings.h"
#include "form/form.h"

// The most of an autoreply_file that is read; a longer file is refused.
constexpr size_t kAutoreplyFileLimit = 64 * 1024;

// Appends `text` to `block` with every ||name|| token replaced by the
// submitted value of `name` (not escaped; "" for a field not submitted, a
// token without its closing "||" kept as it is) and every line, the last
// included, ended by `eol` whatever its own line end (LF, CR LF or CR).
void autoreply_fill(MessageBlock* block, const char* text, const FormTable& form,
                    const char* eol);

// Builds the confirmation into `envelope` and `message`: From the
// autoreply_from address (or `main_from`), To the one address in the
// autoreply_to_variable field, the autoreply_subject, the standard headers
// whatever standard_headers says, "Auto-Submitted: auto-replied", no
// Reply-To; the body from autoreply_file. False with an error line when
// the field holds no single address, or the subject or text is missing or
// the file cannot be read. Both are filled either way (free them).
bool autoreply_assemble(const Settings& settings, const FormTable& form, const char* main_from,
                        Envelope* envelope, Message* message);
