#include "base/utf8.h"

int utf8_sequence(const unsigned char* text, size_t left, uint32_t* code_point) {
  unsigned char lead = text[0];
  int length;
  uint32_t value;
  uint32_t smallest;
  if (lead < 0x80) {
    if (code_point != nullptr) *code_point = lead;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, value = lead & 0x1F, smallest = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, value = lead & 0x0F, smallest = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, value = lead & 0x07, smallest = 0x10000;
  } else {
    return 0;  // a continuation byte, C0/C1 (always overlong) or F5-FF
  }
  if (left < static_cast<size_t>(length)) return 0;
  for (int i = 1; i < length; ++i) {
    if ((text[i] & 0xC0) != 0x80) return 0;
    value = (value << 6) | (text[i] & 0x3F);
  }
  if (value < smallest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  if (code_point != nullptr) *code_point = value;
  return length;
}

bool utf8_valid(const char* text, size_t length) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  size_t at = 0;
  while (at < length) {
    if (p[at] < 0x80) {
      ++at;
      continue;
    }
    int n = utf8_sequence(p + at, length - at, nullptr);
    if (n == 0) return false;
    at += static_cast<size_t>(n);
  }
  return true;
}

int utf8_encode(uint32_t code_point, char* out) {
  unsigned char* o = reinterpret_cast<unsigned char*>(out);
  if (code_point < 0x80) {
    o[0] = static_cast<unsigned char>(code_point);
    return 1;
  }
  if (code_point < 0x800) {
    o[0] = static_cast<unsigned char>(0xC0 | (code_point >> 6));
    o[1] = static_cast<unsigned char>(0x80 | (code_point & 0x3F));
    return 2;
  }
  if (code_point >= 0xD800 && code_point <= 0xDFFF) return 0;
  if (code_point < 0x10000) {
    o[0] = static_cast<unsigned char>(0xE0 | (code_point >> 12));
    o[1] = static_cast<unsigned char>(0x80 | ((code_point >> 6) & 0x3F));
    o[2] = static_cast<unsigned char>(0x80 | (code_point & 0x3F));
    return 3;
  }
  if (code_point > 0x10FFFF) return 0;
  o[0] = static_cast<unsigned char>(0xF0 | (code_point >> 18));
  o[1] = static_cast<unsigned char>(0x80 | ((code_point >> 12) & 0x3F));
  o[2] = static_cast<unsigned char>(0x80 | ((code_point >> 6) & 0x3F));
  o[3] = static_cast<unsigned char>(0x80 | (code_point & 0x3F));
  return 4;
}

size_t latin1_to_utf8(const char* text, size_t length, char* out) {
  size_t written = 0;
  for (size_t i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      out[written++] = static_cast<char>(c);
    } else {
      out[written++] = static_cast<char>(0xC0 | (c >> 6));
      out[written++] = static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return written;
}
