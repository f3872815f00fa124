// Form decoding of any body, as posted.
#include <cstddef>
#include <cstdint>

#include "form/form.h"
#include "fuzz_common.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_quiet_process();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxFormBody) size = kMaxFormBody;
  FormTable& form = fuzz_form_table();
  form_decode(&form, reinterpret_cast<const char*>(data), size);
  for (int i = 0; i < form.count; ++i) (void)form_value(form, form.names[i]);
  form_free(&form);
  return 0;
}
