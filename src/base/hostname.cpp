#include "base/hostname.h"

#include <cstdio>
#include <cstring>

static bool is_label_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         c == '-';
}

bool host_name_valid(const char* name) {
  if (name == nullptr) return false;
  size_t length = strlen(name);
  if (length == 0 || length > kMaxHostName) return false;
  int labels = 0;
  bool all_digits = true;  // of the label being read
  const char* start = name;
  for (const char* p = name;; ++p) {
    if (*p != '.' && *p != '\0') {
      if (!is_label_char(*p)) return false;
      if (*p < '0' || *p > '9') all_digits = false;
      continue;
    }
    size_t label = static_cast<size_t>(p - start);
    if (label == 0 || label > 63 || *start == '-' || p[-1] == '-') return false;
    ++labels;
    if (*p == '\0') break;
    start = p + 1;
    all_digits = true;
  }
  // "1.2.3.4" is an address, which EHLO writes as a literal in brackets.
  return labels >= 2 && !all_digits;
}

void hello_name_choose(const char* configured, bool standard_headers, const char* fixed_from,
                       char* out, size_t size) {
  const char* name = kDefaultHelloName;
  if (configured != nullptr) {
    name = configured;
  } else if (standard_headers && fixed_from != nullptr) {
    const char* at = strrchr(fixed_from, '@');
    if (at != nullptr && host_name_valid(at + 1)) name = at + 1;
  }
  snprintf(out, size, "%s", name);
}
