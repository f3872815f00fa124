#include "base/secret_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

SecretLine secret_file_line(const char* path, char* out, size_t limit, size_t* length,
                            int* open_error) {
  memset(out, 0, limit + 1);
  *length = 0;
  *open_error = 0;
  errno = ENOENT;
  FILE* file = path != nullptr && path[0] != '\0' ? fopen(path, "rb") : nullptr;
  if (file == nullptr) {
    *open_error = errno;
    return SecretLine::kCannotOpen;
  }
  size_t count = 0;
  bool too_long = false;
  int c;
  while ((c = fgetc(file)) != EOF && c != '\n' && c != '\r') {
    if (count == limit) {
      too_long = true;
      break;
    }
    out[count++] = static_cast<char>(c);
  }
  bool failed = ferror(file) != 0;
  fclose(file);
  SecretLine state = failed     ? SecretLine::kCannotRead
                     : too_long ? SecretLine::kTooLong
                     : count == 0 ? SecretLine::kEmpty
                                  : SecretLine::kRead;
  if (state != SecretLine::kRead) {
    memset(out, 0, limit + 1);
    count = 0;
  }
  *length = count;
  return state;
}
