#include "base/base64.h"

#include <cstdlib>

#include "base/fatal.h"

static const char kAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

size_t base64_length(size_t length) { return (length + 2) / 3 * 4; }

void base64_encode(const char* data, size_t length, char* out) {
  const unsigned char* in = reinterpret_cast<const unsigned char*>(data);
  size_t i = 0;
  for (; i + 3 <= length; i += 3) {
    unsigned group = (unsigned{in[i]} << 16) | (unsigned{in[i + 1]} << 8) | in[i + 2];
    *out++ = kAlphabet[(group >> 18) & 63];
    *out++ = kAlphabet[(group >> 12) & 63];
    *out++ = kAlphabet[(group >> 6) & 63];
    *out++ = kAlphabet[group & 63];
  }
  if (i < length) {
    unsigned group = unsigned{in[i]} << 16;
    if (i + 1 < length) group |= unsigned{in[i + 1]} << 8;
    *out++ = kAlphabet[(group >> 18) & 63];
    *out++ = kAlphabet[(group >> 12) & 63];
    *out++ = i + 1 < length ? kAlphabet[(group >> 6) & 63] : '=';
    *out++ = '=';
  }
  *out = '\0';
}

char* base64_encode_copy(const char* data, size_t length) {
  // Beyond this the length itself would not fit.
  if (length > static_cast<size_t>(-1) / 2) fatal_reply(kOutOfMemoryRecord);
  char* out = static_cast<char*>(malloc(base64_length(length) + 1));
  if (out == nullptr) fatal_reply(kOutOfMemoryRecord);
  base64_encode(data, length, out);
  return out;
}

static int base64_value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

bool base64_decode(const char* text, size_t length, char* out, size_t* out_length) {
  if (length % 4 == 0 && length > 0 && text[length - 1] == '=') --length;
  if (length % 4 == 3 && length > 0 && text[length - 1] == '=') --length;
  if (length % 4 == 1) return false;
  size_t n = 0;
  unsigned group = 0;
  for (size_t i = 0; i < length; ++i) {
    int value = base64_value(text[i]);
    if (value < 0) return false;
    group = (group << 6) | static_cast<unsigned>(value);
    if (i % 4 == 3) {
      out[n++] = static_cast<char>(group >> 16);
      out[n++] = static_cast<char>(group >> 8);
      out[n++] = static_cast<char>(group);
      group = 0;
    }
  }
  if (length % 4 == 2) out[n++] = static_cast<char>(group >> 4);
  if (length % 4 == 3) {
    out[n++] = static_cast<char>(group >> 10);
    out[n++] = static_cast<char>(group >> 2);
  }
  *out_length = n;
  return true;
}
