// The helpers the settings key handlers share: copying a value, reading a
// bounded number, adding to a repeatable list. The settings reader's own
// (see settings_keys.h).
#include "config/settings_keys.h"

#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "base/program.h"

char* copy_text(const char* text) { return copy_text_or_die(text, kOutOfMemoryCopy); }

void replace_text(char** slot, const char* rest) {
  free(*slot);
  *slot = copy_text(rest);
}

// Adds `value` to `list` unless it is there already (the line still counts
// as used) or the list is full (an error line, not used).
int add_to_list(SettingList* list, const char* key, const char* value) {
  for (int i = 0; i < list->count; ++i) {
    if (strcmp(list->items[i], value) == 0) return 1;
  }
  if (list->count >= kMaxSettingsEntries) {
    log_event(LOG_ERROR, "%s{%s} was not added: at most %d such lines are read.", key, value,
              kMaxSettingsEntries);
    return 0;
  }
  // Allocated at the first line, so that the record stays small for the
  // settings files that have none.
  if (list->items == nullptr) {
    list->items = static_cast<char**>(malloc(sizeof(char*) * kMaxSettingsEntries));
    if (list->items == nullptr) fatal_reply(kOutOfMemoryCopy);
  }
  list->items[list->count++] = copy_text(value);
  return 1;
}

// Digits only; false for anything else or a number above `most`.
bool read_bounded_number(const char** text, int most, int* out) {
  const char* p = *text;
  int value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + (*p - '0');
    if (value > most) return false;
  }
  if (p == *text) return false;
  *text = p;
  *out = value;
  return true;
}

int set_bounded_number(int* slot, const char* key, const char* rest, int least, int most,
                       const char* unit) {
  const char* p = rest;
  int value = 0;
  if (!read_bounded_number(&p, most, &value) || *p != '\0' || value < least) {
    log_event(LOG_ERROR, "%s{%s} is not a whole number%s from %d to %d; keeping %d.", key, rest,
              unit, least, most, *slot);
    return 0;
  }
  *slot = value;
  return 1;
}
