#include "guard/word_set.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/fatal.h"
#include "guard/confusables.h"

namespace {

constexpr long kMaxFileBytes = 1L << 20;

unsigned hash_step(unsigned hash, unsigned char byte) { return (hash ^ byte) * 16777619u; }

void* allocate(size_t size) {
  void* memory = calloc(1, size);
  if (memory == nullptr) fatal_reply("Out of memory reading spam_words.");
  return memory;
}

unsigned word_hash(const char* word, size_t length) {
  unsigned hash = 2166136261u;
  for (size_t i = 0; i < length; ++i) hash = hash_step(hash, static_cast<unsigned char>(word[i]));
  return hash;
}

// A phrase's hash from its words' hashes, so that a text's words are
// hashed once however many phrases start at them.
unsigned phrase_step(unsigned hash, unsigned word) { return hash * 0x9E3779B1u + word; }

// Adds the folded entry at texts[offset] (length bytes, NUL-ended).
void insert(WordSet* set, unsigned offset, size_t length) {
  const char* entry = set->texts + offset;
  unsigned hash = 0;
  for (size_t at = 0; at < length;) {
    size_t word = strcspn(entry + at, " ");
    hash = phrase_step(hash, word_hash(entry + at, word));
    at += word + 1;
  }
  for (unsigned slot = hash & set->slot_mask;; slot = (slot + 1) & set->slot_mask) {
    if (set->slots[slot] == 0) {
      set->slots[slot] = offset + 1;
      set->hashes[slot] = hash;
      ++set->count;
      return;
    }
    if (strcmp(set->texts + set->slots[slot] - 1, set->texts + offset) == 0) return;
  }
}

bool lookup(const WordSet& set, unsigned hash, const char* text, size_t length) {
  for (unsigned slot = hash & set.slot_mask; set.slots[slot] != 0;
       slot = (slot + 1) & set.slot_mask) {
    if (set.hashes[slot] != hash) continue;
    const char* entry = set.texts + set.slots[slot] - 1;
    if (memcmp(entry, text, length) == 0 && entry[length] == '\0') return true;
  }
  return false;
}

}  // namespace

void word_set_from_text(const char* text, size_t length, WordSet* set) {
  *set = WordSet{};
  size_t lines = 1;
  for (size_t i = 0; i < length; ++i) lines += text[i] == '\n';
  unsigned slots = 64;
  while (slots < 4 * lines) slots *= 2;
  set->slots = static_cast<unsigned*>(allocate(slots * sizeof(unsigned)));
  set->hashes = static_cast<unsigned*>(allocate(slots * sizeof(unsigned)));
  set->slot_mask = slots - 1;
  // Folding never lengthens a line by more than its two blanks and NUL.
  set->texts = static_cast<char*>(allocate(2 * length + 3 * lines + 1));
  unsigned used = 0;
  for (size_t at = 0; at < length;) {
    const char* end = static_cast<const char*>(memchr(text + at, '\n', length - at));
    size_t line = end != nullptr ? static_cast<size_t>(end - (text + at)) : length - at;
    const char* start = text + at;
    at += line + 1;
    if (line == 0 || start[0] == '#') continue;
    size_t folded = fold_words(start, line, set->texts + used);
    // " word word " kept as "word word".
    if (folded <= 2) continue;
    memmove(set->texts + used, set->texts + used + 1, folded - 2);
    set->texts[used + folded - 2] = '\0';
    int words = 1;
    for (size_t i = 0; i < folded - 2; ++i) words += set->texts[used + i] == ' ';
    if (words > kMaxPhraseWords) continue;
    if (words > set->longest) set->longest = words;
    insert(set, used, folded - 2);
    used += static_cast<unsigned>(folded - 1);
  }
}

bool word_set_read(const char* path, WordSet* set, char* why, size_t why_size) {
  *set = WordSet{};
  FILE* file = fopen(path, "rb");
  if (file == nullptr) {
    snprintf(why, why_size, "%s", strerror(errno));
    return false;
  }
  char* data = static_cast<char*>(allocate(kMaxFileBytes + 1));
  size_t length = fread(data, 1, kMaxFileBytes + 1, file);
  bool failed = ferror(file) != 0;
  fclose(file);
  if (failed || length > static_cast<size_t>(kMaxFileBytes)) {
    snprintf(why, why_size, "%s", failed ? "a read error" : "it is over 1 MB");
    free(data);
    return false;
  }
  word_set_from_text(data, length, set);
  free(data);
  return true;
}

void word_set_free(WordSet* set) {
  free(set->texts);
  free(set->slots);
  free(set->hashes);
  *set = WordSet{};
}

bool word_set_find(const WordSet& set, const char* text, size_t length, char* found,
                   size_t found_size) {
  if (set.count == 0) return false;
  char* folded = static_cast<char*>(malloc(2 + 2 * length));
  // Each word's start and hash; a folded text has at most half as many
  // words as bytes.
  size_t most = 1 + length;
  unsigned* starts = static_cast<unsigned*>(malloc(most * sizeof(unsigned)));
  unsigned* hashes = static_cast<unsigned*>(malloc(most * sizeof(unsigned)));
  if (folded == nullptr || starts == nullptr || hashes == nullptr) {
    fatal_reply("Out of memory matching spam_words.");
  }
  size_t size = fold_words(text, length, folded);
  size_t words = 0;
  for (size_t at = 1; at < size;) {
    size_t end = at;
    while (folded[end] != ' ') ++end;
    starts[words] = static_cast<unsigned>(at);
    hashes[words++] = word_hash(folded + at, end - at);
    at = end + 1;
  }
  starts[words] = static_cast<unsigned>(size);  // the end of the last word, past its blank
  bool hit = false;
  // From each word, the runs of 1 to `longest` words.
  for (size_t first = 0; first < words && !hit; ++first) {
    unsigned hash = 0;
    for (size_t last = first; last < words && last - first < static_cast<size_t>(set.longest);
         ++last) {
      hash = phrase_step(hash, hashes[last]);
      size_t span = starts[last + 1] - 1 - starts[first];
      if (lookup(set, hash, folded + starts[first], span)) {
        snprintf(found, found_size, "%.*s", static_cast<int>(span), folded + starts[first]);
        hit = true;
        break;
      }
    }
  }
  free(hashes);
  free(starts);
  free(folded);
  return hit;
}
