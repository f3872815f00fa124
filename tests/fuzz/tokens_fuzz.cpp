// Token expansion of any page line.
#include <cstddef>
#include <cstdint>
#include <string>

#include "form/form.h"
#include "fuzz_common.h"
#include "reply/page.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_quiet_process();
  static const char kBody[] = "a=%3Cb%3E&=empty&x=||a||&Name%3A=Joe";
  form_decode(kBody, sizeof kBody - 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string line(reinterpret_cast<const char*>(data), size);
  expand_tokens(&line[0]);
  page_printf("%s", line.c_str());
  return 0;
}
