#include "config/settings.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "base/program.h"
#include "form/form.h"
#include "platform/os.h"

constexpr int kMaxSmtpTimeout = 3600;

Settings g_settings;
LineList header_lines;
LineList body_lines;

// The current line only; whatever is kept is copied out of it.
static char line_area[kSettingsLineArea];

static char* copy_text(const char* text) { return copy_text_or_die(text, "out of memory."); }

static void replace_text(char** slot, const char* rest) {
  free(*slot);
  *slot = copy_text(rest);
}

// Each handler gets the line and the rest after its keyword, and returns 1
// when the line took effect.
static int set_no_padding(const char*, const char*) {
  g_settings.no_padding = true;
  return 1;
}

static int set_add_headerline_colon(const char*, const char*) {
  g_settings.add_headerline_colon = true;
  return 1;
}

static int set_add_zolvar_link(const char*, const char* rest) {
  if (strcmp(rest, "false") != 0) return 0;
  g_settings.add_zolvar_link = false;
  return 1;
}

static int set_hello_method(const char*, const char* rest) {
  g_settings.use_helo = strncmp(rest, "HELO", 4) == 0;
  return 1;
}

static int set_remove_empty_variables(const char*, const char*) {
  g_settings.remove_empty_variables = true;
  return 1;
}

static int set_logging(const char*, const char*) {
  // From here on the log follows the new level, starting with this very
  // line's "line used" entry.
  g_log.logging = g_settings.logging;
  return 1;
}

static int set_email_line_ending(const char* line, const char*) {
  // The one character after "email_CR" ('=' in the usual spelling) is
  // skipped unseen; a bare "email_CR" has none to skip and no value.
  const char* value = line[8] != '\0' ? line + 9 : line + 8;
  int used = 0;
  if (strncmp(value, "LFCR", 4) == 0) {
    g_settings.email_line_ending = "\r\n";
    used = 1;
  }
  if (strncmp(value, "CR", 2) == 0) {
    g_settings.email_line_ending = "\n";
    used = 1;
  }
  return used;
}

static int set_static_header(const char*, const char* rest) {
  add_header_line(rest, "");
  return 1;
}

static int set_variable_header(const char*, const char* rest) {
  add_header_line(rest, form_value(rest));
  return 1;
}

static int set_static_body(const char*, const char* rest) {
  add_body_variable(rest, "");
  return 1;
}

static int set_variable_body(const char*, const char* rest) {
  add_body_variable(rest, form_value(rest));
  return 1;
}

// Digits only, 1 to kMaxSmtpTimeout; anything else keeps the value in force.
static int set_smtp_timeout(const char*, const char* rest) {
  int seconds = 0;
  const char* p = rest;
  for (; *p >= '0' && *p <= '9' && seconds <= kMaxSmtpTimeout; ++p) {
    seconds = seconds * 10 + (*p - '0');
  }
  if (p == rest || *p != '\0' || seconds < 1 || seconds > kMaxSmtpTimeout) {
    log_event(LOG_ERROR,
              "smtp_timeout {%s} is not a whole number of seconds from 1 to %d; "
              "keeping %d.",
              rest, kMaxSmtpTimeout, g_settings.smtp_timeout);
    return 0;
  }
  g_settings.smtp_timeout = seconds;
  return 1;
}

struct KeywordTest {
  const char* keyword;  // compared case-sensitively over its full length
  int (*apply)(const char* line, const char* rest);
  // A text setting: the rest of the line replaces it before `apply` (if
  // any) runs, and the line counts as used.
  char* Settings::*text;
};

// Abbreviated keywords ("remove_empty_variable", "email_CR") are compared
// over the abbreviation only, so the long spellings match too.
static const KeywordTest kKeywordTests[] = {
    {"no_padding", set_no_padding, nullptr},
    {"add_headerline_colon", set_add_headerline_colon, nullptr},
    {"add_zolvar_link ", set_add_zolvar_link, nullptr},
    {"hello_method ", set_hello_method, nullptr},
    {"remove_empty_variable", set_remove_empty_variables, nullptr},
    {"smtp ", nullptr, &Settings::smtp},
    {"logging ", set_logging, &Settings::logging},
    {"email_CR", set_email_line_ending, nullptr},
    {"sendall ", nullptr, &Settings::sendall},
    {"success_html_page ", nullptr, &Settings::success_html_page},
    {"failure_html_page ", nullptr, &Settings::failure_html_page},
    {"headerline ", set_static_header, nullptr},
    {"use_submitted_variable_for_headerline ", set_variable_header, nullptr},
    {"bodycontent_line ", set_static_body, nullptr},
    {"use_submitted_variable_for_bodycontent ", set_variable_body, nullptr},
    {"smtp_timeout ", set_smtp_timeout, nullptr},
};

int settings_apply_line(const char* line) {
  int used = 0;
  // Every test is made, even after one has matched.
  for (const KeywordTest& test : kKeywordTests) {
    size_t length = strlen(test.keyword);
    if (strncmp(line, test.keyword, length) != 0) continue;
    const char* rest = line + length;
    if (test.text != nullptr) replace_text(&(g_settings.*test.text), rest);
    if (test.apply != nullptr) {
      used += test.apply(line, rest);
    } else {
      ++used;
    }
  }
  if (used != 0) log_event(LOG_DEBUG, "line used from ini file {%s}", line);
  return used;
}

void strip_line_end(char* line) {
  char* cut = strchr(line, '\r');
  if (cut != nullptr) *cut = '\0';
  cut = strchr(line, '\n');
  if (cut != nullptr) *cut = '\0';
}

// The next line (or a piece of at most kSettingsLineArea - 3 characters of a
// longer one) in line_area, or null at the end. A read error ends the file
// too, so a failing stream cannot keep the reader going.
static char* read_settings_line(FILE* stream) {
  if (feof(stream) || ferror(stream)) return nullptr;
  line_area[0] = '\0';
  if (fgets(line_area, kSettingsLineArea - 2, stream) == nullptr) line_area[0] = '\0';
  return line_area;
}

void read_settings() {
  // A folder opens like a file on some systems and fails at the first read;
  // it is no more a settings file than a missing one.
  FILE* stream = os_is_directory(g_program.ini_path) ? nullptr : fopen(g_program.ini_path, "r");
  if (stream == nullptr) fatal_reply("The ini file could not be opened.");
  for (char* line = read_settings_line(stream); line != nullptr;
       line = read_settings_line(stream)) {
    strip_line_end(line);
    settings_apply_line(line);
  }
  fclose(stream);
}

static void add_entry(LineList* list, const char* list_name, const char* text,
                      const char* value) {
  if (text == nullptr || value == nullptr) return;
  if (list->count >= kMaxSettingsEntries) {
    log_event(LOG_ERROR, "the %s list is full (%d entries): {%s} was not added.", list_name,
              kMaxSettingsEntries, text);
    return;
  }
  LineEntry* entry = &list->entries[list->count];
  entry->text = copy_text(text);
  entry->value = copy_text(value);
  ++list->count;
}

void add_header_line(const char* text, const char* value) {
  log_event(LOG_DEBUG, "add_header_line(%s,%s)", log_quote(0, text), log_quote(1, value));
  add_entry(&header_lines, "header", text, value);
}

void add_body_variable(const char* text, const char* value) {
  log_event(LOG_DEBUG, "add_body_variable(%s,%s}", log_quote(0, text), log_quote(1, value));
  add_entry(&body_lines, "body", text, value);
}

static void empty_list(LineList* list) {
  for (int i = 0; i < list->count; ++i) {
    free(list->entries[i].text);
    free(list->entries[i].value);
    list->entries[i] = LineEntry{nullptr, nullptr};
  }
  list->count = 0;
}

void settings_reset() {
  for (const KeywordTest& test : kKeywordTests) {
    if (test.text != nullptr) free(g_settings.*test.text);
  }
  g_settings = Settings();
  g_log.logging = nullptr;
  empty_list(&header_lines);
  empty_list(&body_lines);
}
