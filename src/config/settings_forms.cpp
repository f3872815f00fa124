// The keys of texts by language and of HTML mail (the forms' folder and the
// template are plain texts of the table): `languages TAG...`,
// `messages_file TAG FILE` and `field_label NAME = TEXT`.

#include <cstdio>
#include <cstring>

#include "base/log.h"
#include "base/program.h"
#include "config/settings_keys.h"

// A language tag as Accept-Language names it: 1 to 35 of a-z, 0-9 and "-",
// folded to lower case into `out` (36 bytes). False for anything else.
static bool read_tag(const char* text, size_t length, char* out) {
  if (length == 0 || length > 35) return false;
  for (size_t i = 0; i < length; ++i) {
    char c = ascii_lower(text[i]);
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) return false;
    out[i] = c;
  }
  out[length] = '\0';
  return true;
}

int set_languages(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  int used = 0;
  for (const char* p = rest; *p != '\0';) {
    size_t length = strcspn(p, " \t");
    char tag[36];
    if (length > 0 && !read_tag(p, length, tag)) {
      log_event(LOG_ERROR, "languages: {%.*s} is no language tag; left out.",
                static_cast<int>(length > 60 ? 60 : length), p);
    } else if (length > 0) {
      used = add_to_list(&settings->languages, "languages ", tag) | used;
    }
    p += length;
    while (*p == ' ' || *p == '\t') ++p;
  }
  return used;
}

int add_messages_file(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  size_t length = strcspn(rest, " \t");
  const char* file = rest + length;
  while (*file == ' ' || *file == '\t') ++file;
  char tag[36];
  if (!read_tag(rest, length, tag) || *file == '\0') {
    log_event(LOG_ERROR, "messages_file {%s} is not a language tag and a file; left out.", rest);
    return 0;
  }
  char entry[kPathAreaSize];
  snprintf(entry, sizeof entry, "%s %s", tag, file);
  return add_to_list(&settings->messages_files, "messages_file ", entry);
}

static const char kLabelSeparator[] = " = ";

int add_field_label(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  const char* separator = strstr(rest, kLabelSeparator);
  if (separator == nullptr || separator == rest || separator[3] == '\0') {
    log_event(LOG_ERROR, "field_label {%s} is not NAME = TEXT; left out.", rest);
    return 0;
  }
  return add_to_list(&settings->field_labels, "field_label ", rest);
}

const char* settings_field_label(const Settings& settings, const char* name) {
  size_t length = strlen(name);
  // The last line for a name wins, as for the other keys.
  for (int i = settings.field_labels.count - 1; i >= 0; --i) {
    const char* entry = settings.field_labels.items[i];
    const char* separator = strstr(entry, kLabelSeparator);
    if (static_cast<size_t>(separator - entry) == length && strncmp(entry, name, length) == 0) {
      return separator + sizeof kLabelSeparator - 1;
    }
  }
  return nullptr;
}
