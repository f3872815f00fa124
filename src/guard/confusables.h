#pragma once
// Look-alike letters folded to the plain Latin letters they imitate, so
// that a word list matches "vіagra" written with a Cyrillic і, a full-width
// or a bold mathematical "ｖｉａｇｒａ", or one broken up by zero-width
// characters. Pure functions over bytes; may use src/base only.

#include <cstddef>
#include <cstdint>

// The folded form of one code point: a lower-case letter for a Latin
// letter and for the Cyrillic, Greek, full-width and mathematical forms
// that look like one; the lower case of other Latin-1, Greek and Cyrillic
// letters; 0 for a character that is dropped (zero-width and direction
// marks, the soft hyphen, combining marks); else the code point itself.
uint32_t confusable_fold(uint32_t code_point);

// `text` folded, lower case, with every run of characters that are not
// letters or digits made one blank, and a blank at each end: " buy viagra
// now ". Invalid UTF-8 bytes are separators. Returns the bytes written to
// `out`, which has room for 2 + 2 * length bytes (no NUL is added).
size_t fold_words(const char* text, size_t length, char* out);
