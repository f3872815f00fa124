#pragma once
// The writing system (Unicode script) of a letter, from a compact table of
// the blocks that hold letters, for spam_scripts. Pure functions; may use
// src/base only.

#include <cstdint>

enum class Script {
  kNone,  // not a letter of a known script (digits, signs, emoji)
  kLatin,
  kGreek,
  kCyrillic,
  kArmenian,
  kHebrew,
  kArabic,
  kDevanagari,
  kBengali,
  kTamil,
  kThai,
  kGeorgian,
  kEthiopic,
  kHangul,
  kHiragana,
  kKatakana,
  kHan,
  kOther,  // a letter of a script the table does not name
};

// The script of `code_point`.
Script script_of(uint32_t code_point);

// The script a settings word names ("Latin", "cyrillic": case does not
// matter); false for a word that names none.
bool script_named(const char* name, Script* out);

// The script's name as the reasons write it ("Cyrillic").
const char* script_name(Script script);
