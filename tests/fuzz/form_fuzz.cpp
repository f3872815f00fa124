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
  form_reset();
  form_decode(reinterpret_cast<const char*>(data), size);
  for (int i = 0; i < g_form.count; ++i) (void)form_value(g_form.names[i]);
  return 0;
}
