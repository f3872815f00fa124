#pragma once
// The plain judges of a submission: honeypot fields, the origin check,
// required fields and the recipient allow-list (guard/pipeline.h runs them
// in turn with the others). Each is off until its setting is given, and each
// stop is one error line that quotes no submitted text but the field name or
// the address that caused it. May use config, form, compose's envelope and
// base; reads nothing but its arguments.

#include <cstddef>

#include "base/field_names.h"
#include "base/request.h"
#include "base/text.h"
#include "compose/envelope.h"
#include "config/origin.h"
#include "config/settings.h"
#include "form/form.h"

// Whether a honeypot field was filled in (every entry of its name counts).
bool honeypot_filled(const Settings& settings, const FormTable& form);

// Whether allowed_origin lines are given and the post came from another
// origin: the request's Origin, or without one that names a host, its
// Referer. A post that names neither passes.
bool origin_refused(const Settings& settings, const Request& request);

// Whether required fields are missing or blank: then their names (the
// settings' own texts) are added to *missing, in the settings' order.
bool fields_missing(const Settings& settings, const FormTable& form, FieldNames* missing);

// The allow-list on the envelope's recipients (To, CC, BCC), once the header
// block was built. Without allowed_recipient lines every recipient passes,
// with a warning line when one was taken from the form.
bool recipients_allowed(const Settings& settings, const Envelope& envelope);

// Whether `address` is `allowed` (an address) or lies in its domain
// ("@example.com"), ASCII case ignored.
bool recipient_matches(const char* address, const char* allowed);
