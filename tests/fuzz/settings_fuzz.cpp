// The settings reader on any file content, split into lines as the reader
// does, with a small form to take values from.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "config/settings.h"
#include "form/form.h"
#include "fuzz_common.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_quiet_process();
  static const char kBody[] = "Name%3A=Joe+Bloggs&Email%3A=joe%40example.com";
  form_decode(&fuzz_form_table(), kBody, sizeof kBody - 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Two line lists of kMaxSettingsEntries entries: off the stack.
  static Settings settings;
  const FieldLookup shown{fuzz_form_field, &fuzz_form_table()};
  std::string text(reinterpret_cast<const char*>(data), size);
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    line.push_back('\0');
    strip_line_end(&line[0]);
    settings_apply_line(&settings, line.c_str(), shown);
    start = end + 1;
  }
  settings_free(&settings);
  g_log.logging = nullptr;
  return 0;
}
