#pragma once
// The text/plain form body: one "name=value" per line, as browsers send
// `enctype="text/plain"`. Lines end with LF or CRLF; the first '=' splits
// name from value; carriage returns are dropped wherever they stand, as
// the URL-encoded decoder drops them, and nothing else is decoded (the
// encoding has no escapes). A line without '=' is a name with an empty
// value (as "flag" is in a URL-encoded body); an empty line carries no
// field and is skipped. Note that a value holding a line break (a
// textarea) cannot be told from a new line: its later lines become fields
// of their own, as the encoding itself leaves no way to tell. Uses
// form/field_sink.h only.

#include <cstddef>

#include "form/field_sink.h"

// Hands the fields of `body` to `on_field`, at most `max_fields` of them;
// returns how many were handed over and sets *dropped to the count of the
// lines with a field that came after them; -1 when memory ran out (then
// nothing was handed over).
int text_plain_decode(const char* body, size_t length, int max_fields, FormFieldFn on_field,
                      void* context, int* dropped);
