// The HTTP answer reader on any bytes, as they arrive: the whole input with
// the connection closed, and every cut of it still open. A complete answer
// must hold a body within the limit; a cut must never be complete with a
// longer body than the whole input gives.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "fuzz_common.h"
#include "http/http_client.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_quiet_process();
  return 0;
}

namespace {

void read_once(const char* data, size_t length, bool closed) {
  HttpAnswer answer;
  char error[kHttpErrorSize];
  HttpParse state = http_read_answer(data, length, closed, &answer, error, sizeof error);
  if (state == HttpParse::kComplete &&
      (answer.body == nullptr || static_cast<size_t>(answer.body->length) > kHttpAnswerLimit ||
       answer.status < 200 || answer.status > 999)) {
    abort();
  }
  if (state == HttpParse::kError && error[0] == '\0') abort();
  http_answer_free(&answer);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* raw, size_t size) {
  // A heap copy of exactly the input (never null, even when empty), so the
  // sanitizer sees any read past it.
  std::vector<char> copy(raw, raw + size);
  copy.reserve(1);
  const char* data = copy.data();
  read_once(data, size, true);
  // A few cuts, as a slow peer would deliver it.
  for (size_t cut = size / 4; cut < size; cut += size / 4 + 1) read_once(data, cut, false);
  return 0;
}
