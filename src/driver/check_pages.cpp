// -check: the pages the visitors see, and the tokens they use.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/check.h"
#include "reply/language.h"

namespace {

constexpr size_t kMaxPageBytes = 4 * 1024 * 1024;
constexpr int kMaxTokens = 64;
constexpr size_t kTokenNameSize = 100;

// Whether a settings line names the form field `name`, so the form fills it.
bool named_by_settings(const Settings& settings, const char* name) {
  if (strncmp(name, "quillon_", 8) == 0) return true;  // the run's own tokens
  const LineList* lists[] = {&settings.header_lines, &settings.body_lines};
  for (const LineList* list : lists) {
    for (int i = 0; i < list->count; ++i) {
      if (list->entries[i].variable && strcmp(list->entries[i].text, name) == 0) return true;
    }
  }
  const SettingList* fields[] = {&settings.required_variables, &settings.honeypot_variables};
  for (const SettingList* list : fields) {
    for (int i = 0; i < list->count; ++i) {
      if (strcmp(list->items[i], name) == 0) return true;
    }
  }
  if (settings_field_label(settings, name) != nullptr) return true;
  if (settings.autoreply_to_variable != nullptr && strcmp(settings.autoreply_to_variable, name) == 0) {
    return true;
  }
  return settings.reply_to_variable != nullptr && strcmp(settings.reply_to_variable, name) == 0;
}

// Reads the page whole; null with errno when it cannot be read.
char* read_page(const char* path) {
  FILE* file = fopen(path, "rb");
  if (file == nullptr) return nullptr;
  char* text = static_cast<char*>(malloc(kMaxPageBytes + 1));
  size_t length = text != nullptr ? fread(text, 1, kMaxPageBytes, file) : 0;
  int err = ferror(file) ? EIO : 0;
  fclose(file);
  if (text == nullptr || err != 0) {
    free(text);
    errno = text == nullptr ? ENOMEM : err;
    return nullptr;
  }
  text[length] = '\0';
  return text;
}

// Lists the page's ||name|| tokens once each, and those no setting fills.
void report_tokens(const Settings& settings, const char* text) {
  char names[kMaxTokens][kTokenNameSize];
  int count = 0;
  for (const char* p = strstr(text, "||"); p != nullptr && count < kMaxTokens;) {
    const char* end = strstr(p + 2, "||");
    if (end == nullptr) break;
    size_t length = static_cast<size_t>(end - p - 2);
    if (length > 0 && length < kTokenNameSize) {
      snprintf(names[count], kTokenNameSize, "%.*s", static_cast<int>(length), p + 2);
      bool seen = false;
      for (int i = 0; i < count; ++i) seen = seen || strcmp(names[i], names[count]) == 0;
      if (!seen) ++count;
    }
    p = strstr(end + 2, "||");
  }
  if (count == 0) {
    check_say("  no ||tokens||");
    return;
  }
  for (int i = 0; i < count; ++i) {
    bool filled = named_by_settings(settings, names[i]);
    check_say("  token ||%s||%s", names[i],
              filled ? "" : ": no settings line names this field (filled only when the form "
                            "sends it)");
  }
}

// Which of the named languages have their own file beside `path`.
void report_languages(const Settings& settings, const char* path) {
  if (settings.languages.count == 0) return;
  char found[600] = "";
  char lacking[600] = "";
  for (int i = 0; i < settings.languages.count; ++i) {
    const char* tag = settings.languages.items[i];
    char localised[4096];
    bool there = false;
    if (language_path(path, tag, localised, sizeof localised)) {
      FILE* file = fopen(localised, "rb");
      there = file != nullptr;
      if (file != nullptr) fclose(file);
    }
    char* list = there ? found : lacking;
    size_t used = strlen(list);
    snprintf(list + used, sizeof found - used, " %s", tag);
  }
  check_say("  languages:%s%s%s", found[0] != '\0' ? found : " none",
            lacking[0] != '\0' ? "; without a file of their own:" : "", lacking);
}

int check_page(const Settings& settings, const char* key, const char* path, bool needed) {
  if (path == nullptr) {
    if (!needed) {
      check_say("%s: not set (the built-in page)", key);
      return 0;
    }
    return check_problem("%s is not set: visitors would see the built-in page", key);
  }
  char* text = read_page(path);
  if (text == nullptr) {
    int err = errno;
    return check_problem("%s %s cannot be read (%s): visitors would see the built-in page", key,
                         path, strerror(err));
  }
  check_say("%s %s: readable", key, path);
  report_tokens(settings, text);
  free(text);
  // The mail's HTML part has one template for every language.
  if (strcmp(key, "html_template") != 0) report_languages(settings, path);
  return 0;
}

// The messages file of each language, and whether it can be read.
int check_messages_files(const Settings& settings) {
  int problems = 0;
  for (int i = 0; i < settings.messages_files.count; ++i) {
    const char* entry = settings.messages_files.items[i];
    const char* path = strchr(entry, ' ') + 1;
    char* text = read_page(path);
    if (text == nullptr) {
      int err = errno;
      problems += check_problem("messages_file %s cannot be read (%s): answers in English",
                                entry, strerror(err));
      continue;
    }
    check_say("messages_file %s: readable", entry);
    free(text);
  }
  return problems;
}

}  // namespace

int check_pages(CheckRun* run) {
  const Settings& settings = run->settings;
  int problems = check_page(settings, "success_html_page", settings.success_html_page, true);
  problems += check_page(settings, "failure_html_page", settings.failure_html_page, true);
  bool missing_needed = false;  // the built-in missing page lists the fields itself
  problems += check_page(settings, "missing_html_page", settings.missing_html_page, missing_needed);
  // The mail's own templates: the HTML part and the confirmation.
  if (settings.html_template != nullptr) {
    problems += check_page(settings, "html_template", settings.html_template, true);
  }
  if (settings.autoreply_file != nullptr) {
    problems += check_page(settings, "autoreply_file", settings.autoreply_file, true);
  }
  problems += check_messages_files(settings);
  // Header lines with ||name|| tokens.
  const LineList& headers = settings.header_lines;
  for (int i = 0; i < headers.count; ++i) {
    const char* text = headers.entries[i].text;
    if (headers.entries[i].variable || strstr(text, "||") == nullptr) continue;
    check_say("headerline %.*s: a template", static_cast<int>(strcspn(text, ":")), text);
    report_tokens(settings, text);
  }
  return problems;
}
