// The body decoders on any input. The first byte picks the decoder:
// multipart with the boundary "XyZ", multipart with the boundary taken
// from the first line (also read as a Content-Type value), text/plain,
// the JSON form, the JSON reader skipping nested values, and the Accept
// header. File bytes must point into the body.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/json.h"
#include "form/content_type.h"
#include "form/json_form.h"
#include "form/multipart.h"
#include "form/text_plain.h"
#include "fuzz_common.h"
#include "reply/accept.h"

namespace {

const char* g_body;
size_t g_length;

void on_text(void*, const char* name, size_t name_length, const char* value, size_t value_length) {
  if (name[name_length] != '\0' || value[value_length] != '\0') abort();
}

void on_file(void*, const MultipartFile* f) {
  if (f->data < g_body || f->size > g_length || f->data + f->size > g_body + g_length) abort();
  if (f->name[f->name_length] != '\0' || f->file_name[f->file_name_length] != '\0') abort();
}

// A warning quotes at most 100 bytes of a name and a charset of at most 40,
// each escaped (at most 4 characters a byte), with its fixed words.
void on_warning(void*, const char* message) {
  if (strlen(message) >= 4 * (100 + 64) + 100) abort();
}

void on_member(void*, const JsonMember* m) {
  if (m->name[m->name_length] != '\0' || m->value[m->value_length] != '\0') abort();
}

void multipart(const char* body, size_t length, const char* boundary) {
  MultipartSink sink = {on_text, on_file, on_warning, nullptr};
  MultipartResult result;
  g_body = body;
  g_length = length;
  if (!multipart_decode(body, length, boundary, 20, SIZE_MAX, &sink, &result) &&
      (result.error == nullptr || result.error_offset > length)) {
    abort();
  }
}

// The first line as a Content-Type value: its boundary frames the rest.
void multipart_own_boundary(const char* data, size_t size) {
  const char* lf = static_cast<const char*>(memchr(data, '\n', size));
  size_t line = lf != nullptr ? static_cast<size_t>(lf - data) : size;
  std::vector<char> out(2 * line + 1);
  char type[64];
  (void)header_type(data, line, type, sizeof type);
  size_t n = 0;
  if (header_param(data, line, "boundary", out.data(), out.size(), &n) == HeaderParam::kFound) {
    if (n >= out.size() || out[n] != '\0') abort();
    size_t rest = lf != nullptr ? line + 1 : size;
    multipart(data + rest, size - rest, out.data());
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_quiet_process();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* raw, size_t size) {
  if (size == 0) return 0;
  // A heap copy of exactly the input, so the sanitizer sees any read past
  // it; never null, even for a one-byte input (the decoders may hand their
  // bytes to memchr or memcpy, which take no null pointer).
  std::vector<char> copy(raw + 1, raw + size);
  copy.reserve(1);
  const char* data = copy.data();
  size_t length = size - 1;
  int dropped = 0;
  JsonFormResult json_result;
  JsonError error;
  switch (raw[0] % 6) {
    case 0:
      multipart(data, length, "XyZ");
      break;
    case 1:
      multipart_own_boundary(data, length);
      break;
    case 2:
      (void)text_plain_decode(data, length, 20, on_text, nullptr, &dropped);
      break;
    case 3:
      (void)json_form_decode(data, length, 20, on_text, nullptr, &json_result);
      break;
    case 4:
      (void)json_read_object(data, length, /*skip_nested=*/true, on_member, nullptr, &error);
      break;
    default: {
      std::vector<char> text(data, data + length);
      text.push_back('\0');
      (void)accept_prefers_json(text.data());
      break;
    }
  }
  return 0;
}
