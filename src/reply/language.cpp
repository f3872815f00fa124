#include "reply/language.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/program.h"
#include "platform/os.h"

namespace {

struct Ranged {
  char tag[kLanguageTagSize];
  int q;  // thousandths
  int order;
};

// One Accept-Language entry "tag;q=0.8" into `out`; false when unreadable.
bool read_entry(const char* text, size_t length, Ranged* out) {
  size_t tag_length = 0;
  while (tag_length < length && text[tag_length] != ';' && text[tag_length] != ' ' &&
         text[tag_length] != '\t') {
    ++tag_length;
  }
  if (tag_length == 0 || tag_length >= kLanguageTagSize) return false;
  for (size_t i = 0; i < tag_length; ++i) out->tag[i] = ascii_lower(text[i]);
  out->tag[tag_length] = '\0';
  out->q = 1000;
  const char* q = nullptr;
  for (size_t i = tag_length; i + 2 < length; ++i) {
    if ((text[i] == 'q' || text[i] == 'Q') && text[i + 1] == '=') q = text + i + 2;
  }
  if (q == nullptr) return true;
  if (q[0] == '1') return true;
  if (q[0] != '0') return false;
  int value = 0;
  int digits = 0;
  if (q[1] == '.') {
    for (const char* d = q + 2; *d >= '0' && *d <= '9' && digits < 3; ++d, ++digits) {
      value = value * 10 + (*d - '0');
    }
  }
  for (; digits < 3; ++digits) value *= 10;
  out->q = value;
  return true;
}

int compare_ranged(const void* a, const void* b) {
  const Ranged* x = static_cast<const Ranged*>(a);
  const Ranged* y = static_cast<const Ranged*>(b);
  if (x->q != y->q) return y->q - x->q;
  return x->order - y->order;
}

int find_name(const char* tag, size_t length, char* const* names, int count) {
  for (int i = 0; i < count; ++i) {
    if (strlen(names[i]) == length && strncmp(names[i], tag, length) == 0) return i;
  }
  return -1;
}

}  // namespace

int choose_language(const char* accept, char* const* names, int count,
                    LanguageAvailableFn available, void* context) {
  if (accept == nullptr || count == 0) return -1;
  constexpr int kMostEntries = 32;
  Ranged entries[kMostEntries];
  int found = 0;
  for (const char* p = accept; *p != '\0' && found < kMostEntries;) {
    while (*p == ' ' || *p == '\t' || *p == ',') ++p;
    size_t length = strcspn(p, ",");
    if (length > 0 && read_entry(p, length, &entries[found]) && entries[found].q > 0) {
      entries[found].order = found;
      ++found;
    }
    p += length;
  }
  qsort(entries, static_cast<size_t>(found), sizeof entries[0], compare_ranged);
  for (int i = 0; i < found; ++i) {
    const char* tag = entries[i].tag;
    int index = find_name(tag, strlen(tag), names, count);
    if (index < 0) index = find_name(tag, strcspn(tag, "-"), names, count);
    if (index >= 0 && available(names[index], context)) return index;
  }
  return -1;
}

bool language_path(const char* path, const char* tag, char* out, size_t size) {
  const char* name = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') name = p + 1;
  }
  const char* dot = strrchr(name, '.');
  int written = dot == nullptr || dot == name
                    ? snprintf(out, size, "%s.%s", path, tag)
                    : snprintf(out, size, "%.*s.%s%s", static_cast<int>(dot - path), path, tag,
                               dot);
  return written >= 0 && static_cast<size_t>(written) < size;
}

static bool file_there(const char* path) {
  if (os_is_directory(path)) return false;
  FILE* file = fopen(path, "r");
  if (file == nullptr) return false;
  fclose(file);
  return true;
}

// The messages file the settings give for `tag`, or null.
static const char* messages_file(const Settings& settings, const char* tag) {
  size_t length = strlen(tag);
  for (int i = 0; i < settings.messages_files.count; ++i) {
    const char* entry = settings.messages_files.items[i];
    if (strncmp(entry, tag, length) == 0 && entry[length] == ' ') return entry + length + 1;
  }
  return nullptr;
}

struct PageChoice {
  const Settings* settings;
  const char* page;  // the page's file, null: a JSON answer or the built-in page
};

static bool language_available(const char* tag, void* context) {
  const PageChoice& choice = *static_cast<PageChoice*>(context);
  if (strcmp(tag, "en") == 0 && choice.page == nullptr) return true;  // built in
  if (choice.page == nullptr) return messages_file(*choice.settings, tag) != nullptr;
  static char path[kPathAreaSize];
  return language_path(choice.page, tag, path, sizeof path) && file_there(path);
}

static const char* page_of(const Settings& settings, Outcome outcome) {
  if (outcome == Outcome::kMissing) return settings.missing_html_page;
  if (outcome == Outcome::kSent) return settings.success_html_page;
  return settings.failure_html_page;
}

const char* answer_language(const Settings& settings, const Request& request, Outcome outcome,
                            bool json) {
  PageChoice choice = {&settings, json ? nullptr : page_of(settings, outcome)};
  int index = choose_language(request.accept_language, settings.languages.items,
                              settings.languages.count, language_available, &choice);
  return index >= 0 ? settings.languages.items[index] : nullptr;
}

const char* autoreply_language_file(const Settings& settings, const Request& request, char* out,
                                    size_t size) {
  if (settings.autoreply_file == nullptr) return nullptr;
  PageChoice choice = {&settings, settings.autoreply_file};
  int index = choose_language(request.accept_language, settings.languages.items,
                              settings.languages.count, language_available, &choice);
  if (index < 0 || !language_path(settings.autoreply_file, settings.languages.items[index], out,
                                  size)) {
    return settings.autoreply_file;
  }
  return out;
}

const char* language_message(const Settings& settings, const char* tag, Outcome outcome) {
  const char* path = tag != nullptr ? messages_file(settings, tag) : nullptr;
  FILE* file = path != nullptr && !os_is_directory(path) ? fopen(path, "r") : nullptr;
  if (file == nullptr) return nullptr;
  static char line[2000];
  const char* word = outcome_info(outcome).word;
  size_t length = strlen(word);
  const char* found = nullptr;
  while (found == nullptr && fgets(line, sizeof line, file) != nullptr) {
    line[strcspn(line, "\r\n")] = '\0';
    if (strncmp(line, word, length) == 0 && line[length] == ' ') found = line + length + 1;
  }
  fclose(file);
  return found;
}
