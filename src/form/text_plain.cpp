#include "form/text_plain.h"

#include <cstdlib>
#include <cstring>

namespace {

// Copies [start, end) without its carriage returns to `out`, NUL-ended;
// returns the length.
size_t copy_without_cr(const char* start, const char* end, char* out) {
  size_t n = 0;
  for (const char* p = start; p < end; ++p) {
    if (*p != '\r') out[n++] = *p;
  }
  out[n] = '\0';
  return n;
}

}  // namespace

int text_plain_decode(const char* body, size_t length, int max_fields, FormFieldFn on_field,
                      void* context, int* dropped) {
  *dropped = 0;
  int fields = 0;
  // One block for the longest possible line: name and value with their NULs.
  char* scratch = static_cast<char*>(malloc(length + 2));
  if (scratch == nullptr) return -1;
  const char* end = body + length;
  for (const char* line = body; line < end;) {
    const char* lf = static_cast<const char*>(memchr(line, '\n', static_cast<size_t>(end - line)));
    const char* stop = lf != nullptr ? lf : end;
    const char* equals =
        static_cast<const char*>(memchr(line, '=', static_cast<size_t>(stop - line)));
    const char* name_end = equals != nullptr ? equals : stop;
    size_t name_length = copy_without_cr(line, name_end, scratch);
    char* value = scratch + name_length + 1;
    size_t value_length = equals != nullptr ? copy_without_cr(equals + 1, stop, value) : 0;
    value[value_length] = '\0';
    if (name_length > 0 || equals != nullptr) {
      if (fields < max_fields) {
        on_field(context, scratch, name_length, value, value_length);
        ++fields;
      } else {
        ++*dropped;
      }
    }
    line = stop + 1;
  }
  free(scratch);
  return fields;
}
