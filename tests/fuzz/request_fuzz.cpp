// A posted request of any type: the first line is the CONTENT_TYPE, the
// rest the body, decoded as a run decodes it. Every file must belong to an
// entry and read back whole, as bytes of the body; every joined value must
// be there.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "form/request.h"
#include "fuzz_common.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_quiet_process();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  const char* lf = static_cast<const char*>(memchr(text, '\n', size));
  size_t line = lf != nullptr ? static_cast<size_t>(lf - text) : size;
  std::string type(text, line);
  std::string body(lf != nullptr ? lf + 1 : text + size, text + size);
  static FormTable form;
  FormRequest request{};
  form_request_decode(type.c_str(), body.data(), body.size(), &form, &request);
  for (int i = 0; i < request.file_count; ++i) {
    const FormFile& f = request.files[i];
    if (f.entry < 0 || f.entry >= form.count || f.size > body.size()) abort();
    // Its bytes read back whole from the scratch file, and they are bytes
    // of the body.
    std::string bytes(f.size, '\0');
    size_t at = 0;
    while (at < f.size) {
      long got = form_file_read(&request, i, static_cast<long long>(at), &bytes[at], f.size - at);
      if (got <= 0) break;
      at += static_cast<size_t>(got);
    }
    char past = 0;
    if (at != f.size || form_file_read(&request, i, static_cast<long long>(at), &past, 1) != 0 ||
        body.find(bytes) == std::string::npos) {
      abort();
    }
  }
  if (request.refused && form.count != 0) abort();
  for (int i = 0; i < form.count; ++i) {
    if (strstr(form_joined_value(form, form.names[i]), form.values[i]) == nullptr) abort();
  }
  form_free(&form);
  form_request_free(&request);
  return 0;
}
