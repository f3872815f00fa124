#pragma once
// The spam_words list: a file of words and phrases read into a hash set of
// their folded forms (confusables.h), and the search of a text for any of
// them on whole words, in time linear in the text. May use guard's
// folding, base and the C library's files.
//
// Errors: reading says false with the reason; running out of memory ends
// the process (fatal_reply).

#include <cstddef>

// A words file read into a set of folded words and phrases (see
// confusables.h); phrases of up to kMaxPhraseWords words are matched.
constexpr int kMaxPhraseWords = 6;
struct WordSet {
  char* texts;         // the folded entries, each " word word " NUL-ended
  unsigned* slots;     // open addressing: offset + 1 into texts, 0 free
  unsigned* hashes;    // each slot's entry's hash, compared before its text
  unsigned slot_mask;  // slots - 1, a power of two minus one
  int count;
  int longest;  // the most words in one entry
};

// Reads `path` (one word or phrase a line; blank lines and lines beginning
// with '#' are left out). False with the reason in `why` when it cannot be
// read; then the set is empty.
bool word_set_read(const char* path, WordSet* set, char* why, size_t why_size);
// Builds the set from the lines of `text` (as a file's contents).
void word_set_from_text(const char* text, size_t length, WordSet* set);
void word_set_free(WordSet* set);

// The first entry of `set` found in `text` (folded, on whole words) into
// `found` (the entry without its blanks); false when none is.
bool word_set_find(const WordSet& set, const char* text, size_t length, char* found,
                   size_t found_size);
