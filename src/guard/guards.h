#pragma once
// The abuse guards that stop a submission before it is sent: honeypot
// fields, the origin check, required fields and the recipient allow-list.
// (The rate limit, last of them, is in rate.h.) Each is off until its
// setting is given, and each stop is one error line that quotes no
// submitted text but the field name or the address that caused it.

#include <cstddef>

#include "base/text.h"
#include "compose/envelope.h"
#include "config/origin.h"
#include "config/settings.h"
#include "form/form.h"

// What stopped a submission before the message was built.
enum class GuardStop {
  kNone,
  kHoneypot,       // show the success page: the sender must learn nothing
  kOrigin,         // the failure page
  kMissingFields,  // the missing page
  kDuplicate,      // sent before (post_memory.h): answered as a sent post
};

// The guards on the form alone, in this order: honeypot fields, origin,
// required fields. On kMissingFields *missing is a new buffer (the caller's
// to free) holding the missing names, ", " between them; null otherwise.
GuardStop check_form_guards(const Settings& settings, const FormTable& form,
                            TextBuffer** missing);

// The allow-list on the envelope's recipients (To, CC, BCC), once the header
// block was built. Without allowed_recipient lines every recipient passes,
// with a warning line when one was taken from the form.
bool recipients_allowed(const Settings& settings, const Envelope& envelope);

// Whether `address` is `allowed` (an address) or lies in its domain
// ("@example.com"), ASCII case ignored.
bool recipient_matches(const char* address, const char* allowed);
