#pragma once
// Probable mistakes in a settings line that no key used: a misspelt key, a
// key followed by a tab, a key with blanks before it, a key in another case.
// Pure: reads the keyword table (settings_keyword) and the line, nothing
// else; shared by the run's error line and the -check report. May use
// src/config and src/base only.

// What is wrong with the line.
enum class MistakeKind {
  kMisspelt,       // a word of lower-case letters and '_' within two edits of a key
  kTabAfter,       // the key, then a tab where a blank belongs
  kBlanksBefore,   // blanks (or tabs) before the key
  kOtherCase,      // the key with other capitals
};

constexpr int kMistakeWordSize = 64;
// The most keys the look-up tables hold (the keyword table is checked
// against it when it is compiled).
constexpr int kMistakeMaxKeys = 256;

struct SettingsMistake {
  MistakeKind kind;
  char word[kMistakeWordSize];  // the line's first word (cut to fit), never more
  char key[kMistakeWordSize];   // the key meant, without its trailing blank
};

// Whether an unused `line` is a probable mistake; fills `out` when it is.
// A line whose first word has no key's shape (prose, "#", numbers) is text
// and costs one scan of that word. A misspelt key is one within two edits
// (one for keys shorter than 6 letters); an exchange of two neighbouring
// letters counts as one edit.
bool settings_probable_mistake(const char* line, SettingsMistake* out);

// The words the run's error line and -check add after "did you mean KEY?":
// "" for a misspelt key, else what to change ("a blank after it, not a tab").
const char* settings_mistake_advice(MistakeKind kind);

// Logs the run's error line for an unused line `number` when it is a
// probable mistake: "line 7 not used: `smpt` (did you mean smtp?)".
void settings_log_mistake(int number, const char* line);
