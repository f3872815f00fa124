#pragma once
// The callback through which the body decoders (multipart.h, text_plain.h,
// json_form.h) hand over each text field, so the caller decides where the
// fields go (the run's form table, a test's list). No dependencies.

#include <cstddef>

// One field, in body order. The texts are NUL-ended, valid only during the
// call, and may hold NUL bytes themselves: the lengths are the truth.
using FormFieldFn = void (*)(void* context, const char* name, size_t name_length, const char* value,
                             size_t value_length);
