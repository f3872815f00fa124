#include "config/mistake.h"

#include <cstdio>
#include <cstring>

#include "base/log.h"
#include "base/program.h"
#include "config/settings.h"

namespace {

constexpr int kMaxEdits = 2;
constexpr size_t kShortKey = 6;  // keys shorter than this allow one edit

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_lower_word_byte(char c) { return (c >= 'a' && c <= 'z') || c == '_'; }

// A key's letters: up to its first blank ("smtp " -> 4).
size_t key_length(const char* key) {
  size_t n = 0;
  while (key[n] != '\0' && key[n] != ' ') ++n;
  return n;
}

// Edits between a[0..n) and b[0..m) (insert, delete, replace, exchange of
// neighbours), or kMaxEdits + 1 once they surely exceed kMaxEdits.
int edit_distance(const char* a, size_t n, const char* b, size_t m) {
  size_t diff = n > m ? n - m : m - n;
  if (diff > static_cast<size_t>(kMaxEdits) || n >= kMistakeWordSize || m >= kMistakeWordSize) {
    return kMaxEdits + 1;
  }
  int rows[3][kMistakeWordSize + 1];
  int* before = rows[0];
  int* previous = rows[1];
  int* current = rows[2];
  for (size_t j = 0; j <= m; ++j) previous[j] = static_cast<int>(j);
  for (size_t i = 1; i <= n; ++i) {
    current[0] = static_cast<int>(i);
    int best = current[0];
    for (size_t j = 1; j <= m; ++j) {
      int cost = a[i - 1] == b[j - 1] ? 0 : 1;
      int d = previous[j - 1] + cost;
      if (previous[j] + 1 < d) d = previous[j] + 1;
      if (current[j - 1] + 1 < d) d = current[j - 1] + 1;
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1] && before[j - 2] + 1 < d) {
        d = before[j - 2] + 1;
      }
      current[j] = d;
      if (d < best) best = d;
    }
    if (best > kMaxEdits) return kMaxEdits + 1;
    int* spare = before;
    before = previous;
    previous = current;
    current = spare;
  }
  return previous[m];
}

void copy_word(char* out, const char* word, size_t length) {
  if (length >= kMistakeWordSize) length = kMistakeWordSize - 1;
  memcpy(out, word, length);
  out[length] = '\0';
}

// The keys by the length of their letters, built at the first look-up: a
// word is compared only with keys that can be within two edits of it, so a
// prose line costs a few comparisons, not one per key.
struct KeysByLength {
  int start[kMistakeWordSize + 2];  // keys of length n: order[start[n]..start[n + 1])
  const char* order[kMistakeMaxKeys];
  int position[kMistakeMaxKeys];  // each key's place in the keyword table
};

const KeysByLength& keys_by_length() {
  static KeysByLength table;
  static bool built = false;
  if (built) return table;
  int count[kMistakeWordSize + 1] = {};
  int total = 0;
  for (; settings_keyword(total) != nullptr && total < kMistakeMaxKeys; ++total) {
    size_t n = key_length(settings_keyword(total));
    if (n < kMistakeWordSize) ++count[n];
  }
  table.start[0] = 0;
  for (int n = 0; n <= kMistakeWordSize; ++n) table.start[n + 1] = table.start[n] + count[n];
  int next[kMistakeWordSize + 1];
  for (int n = 0; n <= kMistakeWordSize; ++n) next[n] = table.start[n];
  for (int i = 0; i < total; ++i) {
    const char* key = settings_keyword(i);
    size_t n = key_length(key);
    if (n < kMistakeWordSize) {
      table.position[next[n]] = i;
      table.order[next[n]++] = key;
    }
  }
  built = true;
  return table;
}

// The key a word stands for; null when none is close enough. `exact` asks
// for the key itself (case ignored when `any_case`), else the nearest (in
// the keyword table's order among equally near ones).
const char* find_key(const char* word, size_t length, bool exact, bool any_case) {
  if (length >= kMistakeWordSize) return nullptr;
  const KeysByLength& table = keys_by_length();
  if (exact) {
    for (int k = table.start[length]; k < table.start[length + 1]; ++k) {
      const char* key = table.order[k];
      bool same = any_case ? ascii_equal_n(word, key, length) : strncmp(word, key, length) == 0;
      if (same) return key;
    }
    return nullptr;
  }
  const char* nearest = nullptr;
  int nearest_edits = kMaxEdits + 1;
  int nearest_position = 0;
  size_t shortest = length > static_cast<size_t>(kMaxEdits) ? length - kMaxEdits : 0;
  size_t longest = length + kMaxEdits < kMistakeWordSize ? length + kMaxEdits
                                                         : kMistakeWordSize - 1;
  for (size_t n = shortest; n <= longest; ++n) {
    int allowed = n < kShortKey ? 1 : kMaxEdits;
    for (int k = table.start[n]; k < table.start[n + 1]; ++k) {
      int edits = edit_distance(word, length, table.order[k], n);
      bool nearer = edits < nearest_edits ||
                    (edits == nearest_edits && table.position[k] < nearest_position);
      if (edits <= allowed && nearer) {
        nearest = table.order[k];
        nearest_edits = edits;
        nearest_position = table.position[k];
      }
    }
  }
  return nearest;
}

}  // namespace

bool settings_probable_mistake(const char* line, SettingsMistake* out) {
  const char* word = line;
  while (is_blank(*word)) ++word;
  size_t length = 0;
  bool lower = true;
  while (is_letter(word[length]) || word[length] == '_') {
    lower = lower && is_lower_word_byte(word[length]);
    ++length;
  }
  char after = word[length];
  // A first word of another shape ("#", "Dear", "2027:") is text.
  if (length == 0 || !(after == '\0' || is_blank(after) || after == '=')) return false;
  const char* key = nullptr;
  if (!lower) {
    key = find_key(word, length, /*exact=*/true, /*any_case=*/true);
    if (key == nullptr || strncmp(word, key, key_length(key)) == 0) return false;
    out->kind = MistakeKind::kOtherCase;
  } else if ((key = find_key(word, length, true, false)) != nullptr) {
    if (word != line) {
      out->kind = MistakeKind::kBlanksBefore;
    } else if (after == '\t') {
      out->kind = MistakeKind::kTabAfter;
    } else {
      return false;  // the key as it is, with a value it refused (logged)
    }
  } else if ((key = find_key(word, length, false, false)) != nullptr) {
    out->kind = MistakeKind::kMisspelt;
  } else {
    return false;
  }
  copy_word(out->word, word, length);
  copy_word(out->key, key, key_length(key));
  return true;
}

const char* settings_mistake_advice(MistakeKind kind) {
  switch (kind) {
    case MistakeKind::kTabAfter:
      return " a blank after it, not a tab";
    case MistakeKind::kBlanksBefore:
      return " at the start of the line, no blanks before it";
    case MistakeKind::kOtherCase:
      return " written with the capitals as shown";
    case MistakeKind::kMisspelt:
      break;
  }
  return "";
}

void settings_log_mistake(int number, const char* line) {
  SettingsMistake mistake;
  if (!settings_probable_mistake(line, &mistake)) return;
  log_event(LOG_ERROR, "line %d not used: `%s` (did you mean %s?%s)", number,
            log_quote(0, mistake.word), mistake.key, settings_mistake_advice(mistake.kind));
}
