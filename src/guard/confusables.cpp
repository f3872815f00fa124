#include "guard/confusables.h"

#include "base/utf8.h"

namespace {

struct Fold {
  uint16_t from;
  char to;
};

// Cyrillic and Greek letters that pass for Latin ones, upper and lower case.
const Fold kLookAlikes[] = {
    {0x0391, 'a'}, {0x0392, 'b'}, {0x0395, 'e'}, {0x0396, 'z'}, {0x0397, 'h'}, {0x0399, 'i'},
    {0x039A, 'k'}, {0x039C, 'm'}, {0x039D, 'n'}, {0x039F, 'o'}, {0x03A1, 'p'}, {0x03A4, 't'},
    {0x03A5, 'y'}, {0x03A7, 'x'}, {0x03B1, 'a'}, {0x03B9, 'i'}, {0x03BA, 'k'}, {0x03BD, 'v'},
    {0x03BF, 'o'}, {0x03C1, 'p'}, {0x03C4, 't'}, {0x03C5, 'u'}, {0x03C7, 'x'}, {0x0405, 's'},
    {0x0406, 'i'}, {0x0408, 'j'}, {0x0410, 'a'}, {0x0412, 'b'}, {0x0415, 'e'}, {0x041A, 'k'},
    {0x041C, 'm'}, {0x041D, 'h'}, {0x041E, 'o'}, {0x0420, 'p'}, {0x0421, 'c'}, {0x0422, 't'},
    {0x0423, 'y'}, {0x0425, 'x'}, {0x0430, 'a'}, {0x0435, 'e'}, {0x043E, 'o'}, {0x0440, 'p'},
    {0x0441, 'c'}, {0x0443, 'y'}, {0x0445, 'x'}, {0x0455, 's'}, {0x0456, 'i'}, {0x0458, 'j'},
    {0x04BB, 'h'}, {0x04CF, 'l'}, {0x0501, 'd'}, {0x051B, 'q'}, {0x051D, 'w'},
};

bool dropped(uint32_t c) {
  return c == 0x00AD || c == 0x034F || c == 0x180E || (c >= 0x0300 && c <= 0x036F) ||
         (c >= 0x200B && c <= 0x200F) || (c >= 0x202A && c <= 0x202E) ||
         (c >= 0x2060 && c <= 0x2064) || c == 0xFEFF;
}

uint32_t lower(uint32_t c) {
  if (c >= 'A' && c <= 'Z') return c + 32;
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 32;
  if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return c + 32;
  if (c >= 0x410 && c <= 0x42F) return c + 32;
  if (c >= 0x400 && c <= 0x40F) return c + 80;
  return c;
}

bool letter_or_digit(uint32_t c) {
  if (c < 0x80) return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  // Outside ASCII, everything but the Latin-1 signs, general punctuation,
  // and the symbol blocks counts as part of a word.
  if (c < 0xC0) return c == 0xAA || c == 0xB5 || c == 0xBA;
  if (c == 0xD7 || c == 0xF7) return false;
  if (c >= 0x2000 && c <= 0x2BFF) return false;
  if (c >= 0x3000 && c <= 0x303F) return false;
  if (c >= 0xFE30 && c <= 0xFE4F) return false;
  if (c >= 0x1F000) return false;
  return true;
}

}  // namespace

uint32_t confusable_fold(uint32_t c) {
  if (c < 0x80) return lower(c);
  if (dropped(c)) return 0;
  if (c >= 0xFF01 && c <= 0xFF5E) return lower(c - 0xFF01 + 0x21);
  // Mathematical bold, italic, script... A-Z a-z in runs of 52.
  if (c >= 0x1D400 && c <= 0x1D6A3) {
    uint32_t at = (c - 0x1D400) % 52;
    return at < 26 ? 'a' + at : 'a' + at - 26;
  }
  if (c >= 0x1D7CE && c <= 0x1D7FF) return '0' + (c - 0x1D7CE) % 10;
  if (c >= 0x0391 && c <= 0x0528) {
    size_t low = 0;
    size_t high = sizeof kLookAlikes / sizeof kLookAlikes[0];
    while (low < high) {
      size_t mid = (low + high) / 2;
      if (kLookAlikes[mid].from == c) return static_cast<unsigned char>(kLookAlikes[mid].to);
      if (kLookAlikes[mid].from < c) {
        low = mid + 1;
      } else {
        high = mid;
      }
    }
  }
  return lower(c);
}

size_t fold_words(const char* text, size_t length, char* out) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
  size_t written = 0;
  out[written++] = ' ';
  for (size_t at = 0; at < length;) {
    uint32_t c = bytes[at];
    // Plain ASCII, most of any text, without the look-ups below.
    if (c < 0x80) {
      ++at;
      if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
        out[written++] = static_cast<char>(c);
      } else if (c >= 'A' && c <= 'Z') {
        out[written++] = static_cast<char>(c + 32);
      } else if (out[written - 1] != ' ') {
        out[written++] = ' ';
      }
      continue;
    }
    int size = 1;
    if (c >= 0x80) {
      size = utf8_sequence(bytes + at, length - at, &c);
      if (size == 0) {
        size = 1;
        c = ' ';
      }
    }
    at += static_cast<size_t>(size);
    uint32_t folded = confusable_fold(c);
    if (folded == 0) continue;
    if (!letter_or_digit(folded)) {
      if (out[written - 1] != ' ') out[written++] = ' ';
      continue;
    }
    if (folded < 0x80) {
      out[written++] = static_cast<char>(folded);
    } else {
      // A folded letter never takes more bytes than it came in.
      written += static_cast<size_t>(utf8_encode(folded, out + written));
    }
  }
  if (out[written - 1] != ' ') out[written++] = ' ';
  return written;
}
