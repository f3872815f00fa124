// A posted request of any type: the first line is the CONTENT_TYPE, the
// rest the body, decoded as a run decodes it. Every file must point into
// the body and belong to an entry; every joined value must be there.
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
    if (f.entry < 0 || f.entry >= form.count || f.data < body.data() ||
        f.data + f.size > body.data() + body.size()) {
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
