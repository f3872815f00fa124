#include "guard/scripts.h"

#include <cstddef>

#include "base/program.h"

namespace {

struct Range {
  uint32_t first;
  uint32_t last;
  Script script;
};

// Sorted by first code point; gaps are not letters (or are kOther below).
const Range kRanges[] = {
    {0x0041, 0x005A, Script::kLatin},    {0x0061, 0x007A, Script::kLatin},
    {0x00AA, 0x00AA, Script::kLatin},    {0x00BA, 0x00BA, Script::kLatin},
    {0x00C0, 0x00D6, Script::kLatin},    {0x00D8, 0x00F6, Script::kLatin},
    {0x00F8, 0x024F, Script::kLatin},    {0x0250, 0x02AF, Script::kLatin},
    {0x0370, 0x03FF, Script::kGreek},    {0x0400, 0x052F, Script::kCyrillic},
    {0x0531, 0x058F, Script::kArmenian}, {0x05D0, 0x05FF, Script::kHebrew},
    {0x0620, 0x06FF, Script::kArabic},   {0x0750, 0x077F, Script::kArabic},
    {0x08A0, 0x08FF, Script::kArabic},   {0x0900, 0x097F, Script::kDevanagari},
    {0x0980, 0x09FF, Script::kBengali},  {0x0A00, 0x0B7F, Script::kOther},
    {0x0B80, 0x0BFF, Script::kTamil},    {0x0C00, 0x0DFF, Script::kOther},
    {0x0E00, 0x0E7F, Script::kThai},     {0x0E80, 0x109F, Script::kOther},
    {0x10A0, 0x10FF, Script::kGeorgian}, {0x1100, 0x11FF, Script::kHangul},
    {0x1200, 0x139F, Script::kEthiopic}, {0x13A0, 0x1CFF, Script::kOther},
    {0x1C80, 0x1C8F, Script::kCyrillic}, {0x1E00, 0x1EFF, Script::kLatin},
    {0x1F00, 0x1FFF, Script::kGreek},    {0x2C60, 0x2C7F, Script::kLatin},
    {0x2DE0, 0x2DFF, Script::kCyrillic}, {0x3041, 0x309F, Script::kHiragana},
    {0x30A0, 0x30FF, Script::kKatakana}, {0x3130, 0x318F, Script::kHangul},
    {0x31F0, 0x31FF, Script::kKatakana}, {0x3400, 0x4DBF, Script::kHan},
    {0x4E00, 0x9FFF, Script::kHan},      {0xA640, 0xA69F, Script::kCyrillic},
    {0xA720, 0xA7FF, Script::kLatin},    {0xAB30, 0xAB6F, Script::kLatin},
    {0xAC00, 0xD7AF, Script::kHangul},   {0xF900, 0xFAFF, Script::kHan},
    {0xFB1D, 0xFB4F, Script::kHebrew},   {0xFB50, 0xFDFF, Script::kArabic},
    {0xFE70, 0xFEFF, Script::kArabic},   {0xFF21, 0xFF3A, Script::kLatin},
    {0xFF41, 0xFF5A, Script::kLatin},    {0xFF66, 0xFF9F, Script::kKatakana},
    {0x1D400, 0x1D6A3, Script::kLatin},  {0x20000, 0x2FA1F, Script::kHan},
};

const char* const kNames[] = {
    "",         "Latin",      "Greek",    "Cyrillic", "Armenian", "Hebrew",
    "Arabic",   "Devanagari", "Bengali",  "Tamil",    "Thai",     "Georgian",
    "Ethiopic", "Hangul",     "Hiragana", "Katakana", "Han",      "Other",
};

}  // namespace

Script script_of(uint32_t c) {
  // Binary search for the last range starting at or before c; the one
  // overlap (Cyrillic Extended-C inside kOther) is settled by the later entry.
  size_t low = 0;
  size_t high = sizeof kRanges / sizeof kRanges[0];
  while (low < high) {
    size_t mid = (low + high) / 2;
    if (kRanges[mid].first <= c) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  if (low == 0) return Script::kNone;
  const Range& range = kRanges[low - 1];
  if (c <= range.last) return range.script;
  // Cyrillic Extended-C lies inside the wide kOther range before it.
  if (low >= 2 && c <= kRanges[low - 2].last) return kRanges[low - 2].script;
  return Script::kNone;
}

bool script_named(const char* name, Script* out) {
  for (int i = 1; i < static_cast<int>(sizeof kNames / sizeof kNames[0]); ++i) {
    const char* a = name;
    const char* b = kNames[i];
    while (*a != '\0' && ascii_lower(*a) == ascii_lower(*b)) ++a, ++b;
    if (*a == '\0' && *b == '\0') {
      *out = static_cast<Script>(i);
      return true;
    }
  }
  return false;
}

const char* script_name(Script script) { return kNames[static_cast<int>(script)]; }
