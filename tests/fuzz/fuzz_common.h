#pragma once
// Shared set-up of the fuzz targets: the program's output and log go nowhere.

#include <cstdio>

#include "base/log.h"
#include "form/form.h"

inline void fuzz_quiet_process() {
  if (freopen("/dev/null", "w", stdout) == nullptr) return;
  g_log.path = "/dev/null";
}

// A form table for one input, empty between inputs (form_free): it is too
// big for the stack of a sanitized build, so it lives once per target.
inline FormTable& fuzz_form_table() {
  static FormTable form{};
  return form;
}

// A FieldLookup's function: the submitted value of `name` in the FormTable
// `context`.
inline const char* fuzz_form_field(const char* name, void* context) {
  return form_value(*static_cast<const FormTable*>(context), name);
}
