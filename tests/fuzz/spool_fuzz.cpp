// The spool file reader and the queue's file names on any bytes: a file in
// queue/ may have been cut by a full disk or written by someone else.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "deliver/spool_file.h"
#include "fuzz_common.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_quiet_process();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The reader gets the file's bytes as they are, without a NUL after them.
  char* bytes = static_cast<char*>(malloc(size + 1));
  if (bytes == nullptr) return 0;
  memcpy(bytes, data, size);
  SpoolMessage message = {};
  const char* why = nullptr;
  bool parsed = spool_parse(bytes, size, &message, &why);
  // What was read must format back into a file that reads the same; a file
  // for another destination than the mail holds no message to write back.
  if (parsed && message.destination == SpoolDestination::kMail) {
    size_t length = 0;
    char* again = spool_format(message, &length);
    SpoolMessage second = {};
    if (!spool_parse(again, length, &second, &why)) abort();
    if (strcmp(second.to, message.to) != 0 || strcmp(second.body, message.body) != 0) abort();
    spool_message_free(&second);
    free(again);
  }
  if (parsed) spool_message_free(&message);
  bytes[size] = '\0';
  SpoolName name;
  (void)spool_parse_name(bytes, false, &name);
  (void)spool_parse_name(bytes, true, &name);
  free(bytes);
  return 0;
}
