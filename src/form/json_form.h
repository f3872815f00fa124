#pragma once
// The application/json form body: one flat object read by base/json.h.
// Each member is a field in the order of the text: a string as it is
// (decoded UTF-8), a number as its literal text ("1.50" stays "1.50"),
// true/false as "true"/"false", null as an empty value, and an array as
// one field per element under the same name (an empty array gives none).
// A nested object or an array inside an array refuses the whole body. A
// repeated name gives repeated fields, like a repeated URL-encoded name.
// Uses base/json.h and form/field_sink.h only.

#include <cstddef>

#include "form/field_sink.h"

struct JsonFormResult {
  int fields;           // handed over
  int dropped;          // fields after the first max_fields, counted only
  const char* error;    // null on success; a static reason from base/json.h
  size_t error_offset;  // byte offset of the fault in the body
  bool out_of_memory;   // the error is memory that ran out, not the body
};

// Checks the whole body first, so a malformed one hands over nothing; then
// hands at most `max_fields` fields to `on_field`. Returns true on success.
bool json_form_decode(const char* body, size_t length, int max_fields, FormFieldFn on_field,
                      void* context, JsonFormResult* result);
