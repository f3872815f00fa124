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
  form_decode(&fuzz_form_table(), kBody, sizeof kBody - 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const Settings defaults{};  // add_zolvar_link as a run without settings has it
  const PageInput input = {&fuzz_form_table(), defaults.add_zolvar_link, nullptr, nullptr,
                           nullptr, nullptr};
  std::string line(reinterpret_cast<const char*>(data), size);
  expand_tokens(input, &line[0]);
  page_printf(input, "%s", line.c_str());
  return 0;
}
