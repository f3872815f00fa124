#include "base/program.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>


Program g_program;

const char* program_path() {
  return g_program.argc > 0 && g_program.argv != nullptr && g_program.argv[0] != nullptr
             ? g_program.argv[0]
             : "";
}

char* copy_bytes_or_die(const char* text, size_t length, const char* failure) {
  char* copy = static_cast<char*>(malloc(length + 1));
  if (copy == nullptr) fatal_reply(failure);
  memcpy(copy, text, length);
  copy[length] = '\0';
  return copy;
}

char* copy_text_or_die(const char* text, const char* failure) {
  return copy_bytes_or_die(text, strlen(text), failure);
}

bool ascii_equal_n(const char* a, const char* b, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    if (a[i] == '\0') return true;
  }
  return true;
}
