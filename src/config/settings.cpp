#include "config/settings.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "base/program.h"
#include "platform/os.h"

constexpr int kMaxSmtpTimeout = 3600;

static char* copy_text(const char* text) { return copy_text_or_die(text, kOutOfMemoryCopy); }

static void replace_text(char** slot, const char* rest) {
  free(*slot);
  *slot = copy_text(rest);
}

// What the log shows as the value of the form field `name`.
static const char* field_shown(const FieldLookup& shown, const char* name) {
  return shown.value != nullptr ? shown.value(name, shown.context) : "";
}

// Each handler gets the line and the rest after its keyword, and returns 1
// when the line took effect.
static int set_no_padding(Settings* settings, const char*, const char*, const FieldLookup&) {
  settings->no_padding = true;
  return 1;
}

static int set_add_headerline_colon(Settings* settings, const char*, const char*, const FieldLookup&) {
  settings->add_headerline_colon = true;
  return 1;
}

static int set_add_zolvar_link(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  if (strcmp(rest, "false") != 0) return 0;
  settings->add_zolvar_link = false;
  return 1;
}

static int set_hello_method(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  settings->use_helo = strncmp(rest, "HELO", 4) == 0;
  return 1;
}

static int set_remove_empty_variables(Settings* settings, const char*, const char*, const FieldLookup&) {
  settings->remove_empty_variables = true;
  return 1;
}

static int set_logging(Settings* settings, const char*, const char*, const FieldLookup&) {
  // From here on the log follows the new level, starting with this very
  // line's "line used" entry.
  g_log.logging = settings->logging;
  return 1;
}

static int set_email_line_ending(Settings* settings, const char* line, const char*, const FieldLookup&) {
  // The one character after "email_CR" ('=' in the usual spelling) is
  // skipped unseen; a bare "email_CR" has none to skip and no value.
  const char* value = line[8] != '\0' ? line + 9 : line + 8;
  int used = 0;
  if (strncmp(value, "LFCR", 4) == 0) {
    settings->email_line_ending = "\r\n";
    used = 1;
  }
  if (strncmp(value, "CR", 2) == 0) {
    settings->email_line_ending = "\n";
    used = 1;
  }
  return used;
}

static int set_static_header(Settings* settings, const char*, const char* rest,
                             const FieldLookup&) {
  add_header_line(settings, rest, "", /*variable=*/false);
  return 1;
}

// The field's value is looked up when the message is built; the log line
// shows what `shown` gives for it now.
static int set_variable_header(Settings* settings, const char*, const char* rest,
                               const FieldLookup& shown) {
  add_header_line(settings, rest, field_shown(shown, rest), /*variable=*/true);
  return 1;
}

static int set_static_body(Settings* settings, const char*, const char* rest,
                           const FieldLookup&) {
  add_body_variable(settings, rest, "", /*variable=*/false);
  return 1;
}

static int set_variable_body(Settings* settings, const char*, const char* rest,
                             const FieldLookup& shown) {
  add_body_variable(settings, rest, field_shown(shown, rest), /*variable=*/true);
  return 1;
}

// Digits only, 1 to kMaxSmtpTimeout; anything else keeps the value in force.
static int set_smtp_timeout(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  int seconds = 0;
  const char* p = rest;
  for (; *p >= '0' && *p <= '9' && seconds <= kMaxSmtpTimeout; ++p) {
    seconds = seconds * 10 + (*p - '0');
  }
  if (p == rest || *p != '\0' || seconds < 1 || seconds > kMaxSmtpTimeout) {
    log_event(LOG_ERROR,
              "smtp_timeout {%s} is not a whole number of seconds from 1 to %d; "
              "keeping %d.",
              rest, kMaxSmtpTimeout, settings->smtp_timeout);
    return 0;
  }
  settings->smtp_timeout = seconds;
  return 1;
}

static int set_smtp_security(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  static const struct {
    const char* word;
    SecurityMode mode;
  } kModes[] = {
      {"none", kSecurityNone},
      {"starttls", kSecurityStarttls},
      {"tls", kSecurityTls},
  };
  for (const auto& mode : kModes) {
    if (strcmp(rest, mode.word) == 0) {
      settings->smtp_security = mode.mode;
      return 1;
    }
  }
  const char* kept = "none";
  for (const auto& mode : kModes) {
    if (mode.mode == settings->smtp_security) kept = mode.word;
  }
  log_event(LOG_ERROR, "smtp_security {%s} is not none, starttls or tls; keeping %s.",
            rest, kept);
  return 0;
}

static int set_standard_headers(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  if (strcmp(rest, "true") == 0 || strcmp(rest, "false") == 0) {
    settings->standard_headers = rest[0] == 't';
    return 1;
  }
  log_event(LOG_ERROR, "standard_headers {%s} is not true or false; keeping %s.", rest,
            settings->standard_headers ? "true" : "false");
  return 0;
}

// Its line is logged without the password.
static const char kPasswordKeyword[] = "smtp_password ";
// abuse guards

constexpr int kMaxRateLimitCount = 10000;
constexpr int kMaxRateLimitMinutes = 7 * 24 * 60;
constexpr size_t kMaxHostName = 253;

// The characters an address found in a header can hold (see scan_address):
// an allowed address made of others could never match one.
static bool is_address_byte(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         c == '.' || c == '_' || c == '-' || c == '+';
}

static bool is_address_run(const char* start, const char* end) {
  if (start == end) return false;
  for (const char* p = start; p < end; ++p) {
    if (!is_address_byte(*p)) return false;
  }
  return true;
}

// "name@example.com" or "@example.com".
static bool is_recipient_pattern(const char* text) {
  const char* at = strchr(text, '@');
  if (at == nullptr) return false;
  const char* end = text + strlen(text);
  return (at == text || is_address_run(text, at)) && is_address_run(at + 1, end);
}

// A host name (letters, digits, '.', '-') or an IPv6 address in brackets.
static bool is_host_name(const char* text) {
  size_t length = strlen(text);
  if (length == 0 || length > kMaxHostName + 2) return false;
  if (text[0] == '[') {
    if (length < 3 || text[length - 1] != ']') return false;
    for (size_t i = 1; i + 1 < length; ++i) {
      char c = ascii_lower(text[i]);
      if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || c == ':' || c == '.')) {
        return false;
      }
    }
    return true;
  }
  if (length > kMaxHostName) return false;
  for (size_t i = 0; i < length; ++i) {
    char c = text[i];
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
          c == '.' || c == '-')) {
      return false;
    }
  }
  return true;
}

// Adds `value` to `list` unless it is there already (the line still counts
// as used) or the list is full (an error line, not used).
static int add_to_list(SettingList* list, const char* key, const char* value) {
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

static int add_allowed_recipient(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  if (!is_recipient_pattern(rest)) {
    log_event(LOG_ERROR,
              "allowed_recipient {%s} is neither an address (name@example.com) nor a "
              "domain (@example.com); line ignored.",
              rest);
    return 0;
  }
  return add_to_list(&settings->allowed_recipients, "allowed_recipient ", rest);
}

static int add_form_field(SettingList* list, const char* key, const char* rest) {
  if (rest[0] == '\0') {
    log_event(LOG_ERROR, "%s{} names no form field; line ignored.", key);
    return 0;
  }
  return add_to_list(list, key, rest);
}

static int add_honeypot_variable(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  return add_form_field(&settings->honeypot_variables, "honeypot_variable ", rest);
}

static int add_required_variable(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  return add_form_field(&settings->required_variables, "required_variable ", rest);
}

static int add_allowed_origin(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  if (!is_host_name(rest)) {
    log_event(LOG_ERROR,
              "allowed_origin {%s} is not a host name (www.example.com, no scheme or "
              "port); line ignored.",
              rest);
    return 0;
  }
  return add_to_list(&settings->allowed_origins, "allowed_origin ", rest);
}

// Digits only; false for anything else or a number above `most`.
static bool read_bounded_number(const char** text, int most, int* out) {
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

// Minutes within which the same post from one client is sent once.
static int set_duplicate_window(Settings* settings, const char*, const char* rest,
                                const FieldLookup&) {
  const char* p = rest;
  int minutes = 0;
  if (!read_bounded_number(&p, kMaxRateLimitMinutes, &minutes) || *p != '\0' || minutes < 1) {
    log_event(LOG_ERROR,
              "duplicate_window {%s} is not a number of minutes from 1 to %d; line ignored.",
              log_quote(0, rest), kMaxRateLimitMinutes);
    return 0;
  }
  settings->duplicate_window_minutes = minutes;
  return 1;
}

// "N/M": at most N submissions from one client address in M minutes.
static int set_rate_limit(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  const char* p = rest;
  int count = 0;
  int minutes = 0;
  bool valid = read_bounded_number(&p, kMaxRateLimitCount, &count) && *p++ == '/' &&
               read_bounded_number(&p, kMaxRateLimitMinutes, &minutes) && *p == '\0' &&
               count >= 1 && minutes >= 1;
  if (!valid) {
    log_event(LOG_ERROR,
              "rate_limit {%s} is not N/M (at most N submissions from one address in M "
              "minutes; N from 1 to %d, M from 1 to %d); line ignored.",
              rest, kMaxRateLimitCount, kMaxRateLimitMinutes);
    return 0;
  }
  settings->rate_limit_count = count;
  settings->rate_limit_minutes = minutes;
  return 1;
}

// A folder path, taken verbatim; an empty one turns nothing on.
static int set_spool_folder(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  if (rest[0] == '\0') {
    log_event(LOG_ERROR, "spool_folder {%s} names no folder; keeping %s.", rest,
              settings->spool_folder != nullptr ? settings->spool_folder : "no spool");
    return 0;
  }
  replace_text(&settings->spool_folder, rest);
  return 1;
}

static int set_spool_keep_sent(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  if (strcmp(rest, "true") != 0 && strcmp(rest, "false") != 0) {
    log_event(LOG_ERROR, "spool_keep_sent {%s} is neither true nor false; keeping %s.", rest,
              settings->spool_keep_sent ? "true" : "false");
    return 0;
  }
  settings->spool_keep_sent = strcmp(rest, "true") == 0;
  return 1;
}

struct KeywordTest {
  const char* keyword;  // compared case-sensitively over its full length
  int (*apply)(Settings* settings, const char* line, const char* rest, const FieldLookup& shown);
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
    // Delivery through mail providers.
    {"smtp_security ", set_smtp_security, nullptr},
    {"smtp_user ", nullptr, &Settings::smtp_user},
    {kPasswordKeyword, nullptr, &Settings::smtp_password},
    {"smtp_password_file ", nullptr, &Settings::smtp_password_file},
    {"smtp_ca_file ", nullptr, &Settings::smtp_ca_file},
    {"standard_headers ", set_standard_headers, nullptr},
    {"use_submitted_variable_for_reply_to ", nullptr, &Settings::reply_to_variable},
    // abuse guards
    {"allowed_recipient ", add_allowed_recipient, nullptr},
    {"honeypot_variable ", add_honeypot_variable, nullptr},
    {"required_variable ", add_required_variable, nullptr},
    {"missing_html_page ", nullptr, &Settings::missing_html_page},
    {"allowed_origin ", add_allowed_origin, nullptr},
    {"rate_limit ", set_rate_limit, nullptr},
    // spool
    {"spool_folder ", set_spool_folder, nullptr},
    {"spool_keep_sent ", set_spool_keep_sent, nullptr},
    // duplicate posts
    {"duplicate_window ", set_duplicate_window, nullptr},
};

const char* settings_line_ending(const Settings& settings) {
  return settings.smtp_security != kSecurityNone ? "\r\n" : settings.email_line_ending;
}

int settings_apply_line(Settings* settings, const char* line, const FieldLookup& shown) {
  int used = 0;
  // Every test is made, even after one has matched.
  for (const KeywordTest& test : kKeywordTests) {
    size_t length = strlen(test.keyword);
    if (strncmp(line, test.keyword, length) != 0) continue;
    const char* rest = line + length;
    if (test.text != nullptr) replace_text(&(settings->*test.text), rest);
    if (test.apply != nullptr) {
      used += test.apply(settings, line, rest, shown);
    } else {
      ++used;
    }
  }
  if (used == 0) return 0;
  if (strncmp(line, kPasswordKeyword, strlen(kPasswordKeyword)) == 0) {
    log_event(LOG_DEBUG, "line used from ini file {%s(hidden)}", kPasswordKeyword);
  } else {
    log_event(LOG_DEBUG, "line used from ini file {%s}", line);
  }
  return used;
}

const char* settings_keyword(int index) {
  constexpr int kCount = static_cast<int>(sizeof kKeywordTests / sizeof kKeywordTests[0]);
  return index >= 0 && index < kCount ? kKeywordTests[index].keyword : nullptr;
}

void strip_line_end(char* line) {
  char* cut = strchr(line, '\r');
  if (cut != nullptr) *cut = '\0';
  cut = strchr(line, '\n');
  if (cut != nullptr) *cut = '\0';
}

// The next line (or a piece of at most kSettingsLineArea - 3 characters of a
// longer one) in `area`, or null at the end. A read error ends the file
// too, so a failing stream cannot keep the reader going.
static char* read_settings_line(FILE* stream, char* area) {
  if (feof(stream) || ferror(stream)) return nullptr;
  area[0] = '\0';
  if (fgets(area, kSettingsLineArea - 2, stream) == nullptr) area[0] = '\0';
  return area;
}

bool settings_read(const char* path, const FieldLookup& shown, Settings* settings) {
  // A folder opens like a file on some systems and fails at the first read;
  // it is no more a settings file than a missing one.
  FILE* stream = os_is_directory(path) ? nullptr : fopen(path, "r");
  if (stream == nullptr) return false;
  // The current line only; whatever is kept is copied out of it.
  char* area = static_cast<char*>(malloc(kSettingsLineArea));
  if (area == nullptr) fatal_reply(kOutOfMemoryCopy);
  for (char* line = read_settings_line(stream, area); line != nullptr;
       line = read_settings_line(stream, area)) {
    strip_line_end(line);
    settings_apply_line(settings, line, shown);
  }
  free(area);
  fclose(stream);
  return true;
}

static void add_entry(LineList* list, const char* list_name, const char* text,
                      const char* value, bool variable) {
  if (text == nullptr || value == nullptr) return;
  if (list->count >= kMaxSettingsEntries) {
    log_event(LOG_ERROR, "the %s list is full (%d entries): {%s} was not added.", list_name,
              kMaxSettingsEntries, text);
    return;
  }
  LineEntry* entry = &list->entries[list->count];
  entry->text = copy_text(text);
  entry->variable = variable;
  ++list->count;
}

void add_header_line(Settings* settings, const char* text, const char* value, bool variable) {
  log_event(LOG_DEBUG, "add_header_line(%s,%s)", log_quote(0, text), log_quote(1, value));
  add_entry(&settings->header_lines, "header", text, value, variable);
}

void add_body_variable(Settings* settings, const char* text, const char* value, bool variable) {
  log_event(LOG_DEBUG, "add_body_variable(%s,%s}", log_quote(0, text), log_quote(1, value));
  add_entry(&settings->body_lines, "body", text, value, variable);
}

static void empty_list(LineList* list) {
  for (int i = 0; i < list->count; ++i) {
    free(list->entries[i].text);
    list->entries[i] = LineEntry{nullptr, false};
  }
  list->count = 0;
}

void settings_free(Settings* settings) {
  if (g_log.logging == settings->logging) g_log.logging = nullptr;
  for (const KeywordTest& test : kKeywordTests) {
    if (test.text != nullptr) free(settings->*test.text);
  }
  SettingList* lists[] = {&settings->allowed_recipients, &settings->honeypot_variables,
                          &settings->required_variables, &settings->allowed_origins};
  for (SettingList* list : lists) {
    for (int i = 0; i < list->count; ++i) free(list->items[i]);
    free(list->items);
    *list = SettingList{};
  }
  free(settings->spool_folder);
  empty_list(&settings->header_lines);
  empty_list(&settings->body_lines);
  *settings = Settings();
}
