// Address scanning and header classification of any header entry.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "compose/envelope.h"
#include "fuzz_common.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_quiet_process();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  char* found = scan_address(text.c_str());
  free(found);
  size_t cut = text.find('\n');
  std::string name = text.substr(0, cut);
  std::string value = cut == std::string::npos ? "" : text.substr(cut + 1);
  Envelope envelope{};
  bool bare_too = size % 2 == 1;  // add_headerline_colon
  (void)classify_header(&envelope, bare_too, name.c_str(), value.c_str());
  envelope_free(&envelope);
  return 0;
}
