#include "config/settings.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/hostname.h"
#include "base/log.h"
#include "base/program.h"
#include "config/origin.h"
#include "config/mistake.h"
#include "platform/os.h"

constexpr int kMaxSmtpTimeout = 3600;

static char* copy_text(const char* text) { return copy_text_or_die(text, kOutOfMemoryCopy); }

static void replace_text(char** slot, const char* rest) {
  free(*slot);
  *slot = copy_text(rest);
}

// What the log shows as the value of the form field `name` ("" when the
// log writes no debug lines: nothing will show it).
static const char* field_shown(const FieldLookup& shown, const char* name) {
  if (!log_level_enabled(LOG_DEBUG)) return "";
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

// Unlike other keys, a value that cannot be read is kept as an entry that
// matches no origin: a mistyped line must not turn the guard off.
static int add_allowed_origin(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  if (!origin_entry_readable(rest)) {
    log_event(LOG_ERROR,
              "allowed_origin {%s} is neither a host (www.example.com), host:port nor "
              "scheme://host[:port]; it matches no origin.",
              log_quote(0, rest));
    add_to_list(&settings->allowed_origins, "allowed_origin ", rest);
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

static int set_hello_name(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  if (!host_name_valid(rest)) {
    log_event(LOG_ERROR, "hello_name {%s} is not a domain name; keeping %s.", rest,
              settings->hello_name != nullptr ? settings->hello_name : "the default");
    return 0;
  }
  replace_text(&settings->hello_name, rest);
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

constexpr int kMaxKeepSentDays = 36500;

// "true" (keep for ever), "false" (delete at once) or a number of days.
static int set_spool_keep_sent(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  const char* p = rest;
  int days = 0;
  bool number = read_bounded_number(&p, kMaxKeepSentDays, &days) && *p == '\0' && days >= 1;
  if (strcmp(rest, "true") != 0 && strcmp(rest, "false") != 0 && !number) {
    char kept[32];
    if (settings->spool_keep_sent && settings->spool_keep_sent_days > 0) {
      snprintf(kept, sizeof kept, "%d", settings->spool_keep_sent_days);
    } else {
      snprintf(kept, sizeof kept, "%s", settings->spool_keep_sent ? "true" : "false");
    }
    log_event(LOG_ERROR,
              "spool_keep_sent {%s} is neither true, false nor a number of days from 1 to %d; "
              "keeping %s.",
              rest, kMaxKeepSentDays, kept);
    return 0;
  }
  settings->spool_keep_sent = strcmp(rest, "false") != 0;
  settings->spool_keep_sent_days = number ? days : 0;
  return 1;
}

// the owner's checks

// Digits only, 1 to kMaxSmtpTimeout; anything else keeps the value in force.
static int set_smtp_deadline(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  const char* p = rest;
  int seconds = 0;
  if (!read_bounded_number(&p, kMaxSmtpTimeout, &seconds) || *p != '\0' || seconds < 1) {
    log_event(LOG_ERROR,
              "smtp_deadline {%s} is not a whole number of seconds from 1 to %d; keeping %d.",
              rest, kMaxSmtpTimeout, settings->smtp_deadline);
    return 0;
  }
  settings->smtp_deadline = seconds;
  return 1;
}

// answers

static int set_http_status(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  if (strcmp(rest, "true") != 0 && strcmp(rest, "false") != 0) {
    log_event(LOG_ERROR, "http_status {%s} is neither true nor false; keeping %s.",
              log_quote(0, rest), settings->http_status ? "true" : "false");
    return 0;
  }
  settings->http_status = strcmp(rest, "true") == 0;
  return 1;
}

// An absolute http(s) URL with a host, or a path from "/" (not "//", which
// would name another host); no blanks or control characters, which would
// end or split the Location line.
static bool is_redirect_target(const char* url) {
  for (const char* p = url; *p != '\0'; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c <= ' ' || c == 0x7f) return false;
  }
  if (url[0] == '/') return url[1] != '/';
  const char* schemes[] = {"http://", "https://"};
  for (const char* scheme : schemes) {
    size_t length = strlen(scheme);
    if (ascii_equal_n(url, scheme, length)) return url[length] != '\0' && url[length] != '/';
  }
  return false;
}

static int set_redirect(char** slot, const char* key, const char* rest) {
  if (!is_redirect_target(rest)) {
    log_event(LOG_ERROR,
              "%s{%s} is neither an http(s) URL nor a path beginning with /; keeping %s.",
              key, log_quote(0, rest), *slot != nullptr ? *slot : "no redirect");
    return 0;
  }
  replace_text(slot, rest);
  return 1;
}

static int set_success_redirect(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  return set_redirect(&settings->success_redirect, "success_redirect ", rest);
}

static int set_failure_redirect(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  return set_redirect(&settings->failure_redirect, "failure_redirect ", rest);
}

static int set_missing_redirect(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  return set_redirect(&settings->missing_redirect, "missing_redirect ", rest);
}

// CAPTCHA verification and the confirmation mail

constexpr int kMaxCaptchaTimeout = 300;

static int set_captcha(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  static const char* const kProviders[] = {"turnstile", "hcaptcha", "recaptcha"};
  for (const char* provider : kProviders) {
    if (strcmp(rest, provider) != 0) continue;
    replace_text(&settings->captcha, rest);
    return 1;
  }
  log_event(LOG_ERROR, "captcha {%s} is not turnstile, hcaptcha or recaptcha; keeping %s.", rest,
            settings->captcha != nullptr ? settings->captcha : "no CAPTCHA check");
  return 0;
}

// A decimal from 0 to 1 ("0.5", "1", ".75"); nothing else.
static int set_captcha_min_score(Settings* settings, const char*, const char* rest,
                                 const FieldLookup&) {
  const char* p = rest;
  while (*p >= '0' && *p <= '9') ++p;
  if (*p == '.') ++p;
  while (*p >= '0' && *p <= '9') ++p;
  double value = strtod(rest, nullptr);
  bool digits = strpbrk(rest, "0123456789") == rest || (rest[0] == '.' && rest[1] != '\0');
  if (!digits || *p != '\0' || value < 0.0 || value > 1.0) {
    log_event(LOG_ERROR, "captcha_min_score {%s} is not a number from 0.0 to 1.0; keeping %g.",
              rest, settings->captcha_min_score);
    return 0;
  }
  settings->captcha_min_score = value;
  return 1;
}

static int set_captcha_timeout(Settings* settings, const char*, const char* rest,
                               const FieldLookup&) {
  const char* p = rest;
  int seconds = 0;
  if (!read_bounded_number(&p, kMaxCaptchaTimeout, &seconds) || *p != '\0' || seconds < 1) {
    log_event(LOG_ERROR,
              "captcha_timeout {%s} is not a whole number of seconds from 1 to %d; keeping %d.",
              rest, kMaxCaptchaTimeout, settings->captcha_timeout);
    return 0;
  }
  settings->captcha_timeout = seconds;
  return 1;
}

static int set_captcha_unreachable(Settings* settings, const char*, const char* rest,
                                   const FieldLookup&) {
  if (strcmp(rest, "refuse") != 0 && strcmp(rest, "send") != 0) {
    log_event(LOG_ERROR, "captcha_unreachable {%s} is neither refuse nor send; keeping %s.", rest,
              settings->captcha_unreachable_send ? "send" : "refuse");
    return 0;
  }
  settings->captcha_unreachable_send = rest[0] == 's';
  return 1;
}

static int set_autoreply_window(Settings* settings, const char*, const char* rest,
                                const FieldLookup&) {
  const char* p = rest;
  int minutes = 0;
  if (!read_bounded_number(&p, kMaxRateLimitMinutes, &minutes) || *p != '\0' || minutes < 1) {
    log_event(LOG_ERROR,
              "autoreply_window {%s} is not a whole number of minutes from 1 to %d; keeping %d.",
              rest, kMaxRateLimitMinutes, settings->autoreply_window);
    return 0;
  }
  settings->autoreply_window = minutes;
  return 1;
}

// bounds on the log and the queue

constexpr int kMaxLogKb = 4 * 1024 * 1024;
constexpr int kMaxSpoolMb = 1024 * 1024;

// Digits only, 0 to `most`; anything else keeps `*slot` with an error line.
static int set_bound(int* slot, const char* key, const char* rest, int most) {
  const char* p = rest;
  int value = 0;
  if (!read_bounded_number(&p, most, &value) || *p != '\0') {
    log_event(LOG_ERROR, "%s{%s} is not a whole number from 0 to %d; keeping %d.", key, rest,
              most, *slot);
    return 0;
  }
  *slot = value;
  return 1;
}

// Also bounds the log at once, from this very line on.
static int set_log_max_kb(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  int used = set_bound(&settings->log_max_kb, "log_max_kb ", rest, kMaxLogKb);
  g_log.max_bytes = static_cast<long long>(settings->log_max_kb) * 1024;
  return used;
}

static int set_spool_max_mb(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  return set_bound(&settings->spool_max_mb, "spool_max_mb ", rest, kMaxSpoolMb);
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
    {"hello_name ", set_hello_name, nullptr},
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
    // answers
    {"http_status ", set_http_status, nullptr},
    {"success_redirect ", set_success_redirect, nullptr},
    {"failure_redirect ", set_failure_redirect, nullptr},
    {"missing_redirect ", set_missing_redirect, nullptr},
    // duplicate posts
    {"duplicate_window ", set_duplicate_window, nullptr},
    // CAPTCHA verification and the confirmation mail
    {"captcha ", set_captcha, nullptr},
    {"captcha_secret_file ", nullptr, &Settings::captcha_secret_file},
    {"captcha_min_score ", set_captcha_min_score, nullptr},
    {"captcha_timeout ", set_captcha_timeout, nullptr},
    {"captcha_unreachable ", set_captcha_unreachable, nullptr},
    {"captcha_action ", nullptr, &Settings::captcha_action},
    {"captcha_verify_url ", nullptr, &Settings::captcha_verify_url},
    {"captcha_ca_file ", nullptr, &Settings::captcha_ca_file},
    {"autoreply_to_variable ", nullptr, &Settings::autoreply_to_variable},
    {"autoreply_subject ", nullptr, &Settings::autoreply_subject},
    {"autoreply_file ", nullptr, &Settings::autoreply_file},
    {"autoreply_from ", nullptr, &Settings::autoreply_from},
    {"autoreply_window ", set_autoreply_window, nullptr},
    // bounds on the log and the queue
    {"log_max_kb ", set_log_max_kb, nullptr},
    {"spool_max_mb ", set_spool_max_mb, nullptr},
    // the owner's checks
    {"smtp_deadline ", set_smtp_deadline, nullptr},
};

const char* settings_line_ending(const Settings& settings) {
  return settings.smtp_security != kSecurityNone ? "\r\n" : settings.email_line_ending;
}

constexpr int kKeywordCount = static_cast<int>(sizeof kKeywordTests / sizeof kKeywordTests[0]);

// The tests by the first character of their keyword, in table order within
// each character: a line is compared with those that can match it only.
struct KeywordIndex {
  int start[257];             // tests of character c: order[start[c]..start[c + 1])
  int order[kKeywordCount];
};

static const KeywordIndex& keyword_index() {
  static KeywordIndex index;
  static bool built = false;
  if (built) return index;
  int count[256] = {};
  for (const KeywordTest& test : kKeywordTests) ++count[static_cast<unsigned char>(test.keyword[0])];
  index.start[0] = 0;
  for (int c = 0; c < 256; ++c) index.start[c + 1] = index.start[c] + count[c];
  int next[256];
  for (int c = 0; c < 256; ++c) next[c] = index.start[c];
  for (int i = 0; i < kKeywordCount; ++i) {
    index.order[next[static_cast<unsigned char>(kKeywordTests[i].keyword[0])]++] = i;
  }
  built = true;
  return index;
}

int settings_apply_line(Settings* settings, const char* line, const FieldLookup& shown) {
  int used = 0;
  const KeywordIndex& index = keyword_index();
  unsigned char first = static_cast<unsigned char>(line[0]);
  // Every test that can match is made, even after one has matched.
  for (int k = index.start[first]; k < index.start[first + 1]; ++k) {
    const KeywordTest& test = kKeywordTests[index.order[k]];
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
  if (used == 0 || !log_level_enabled(LOG_DEBUG)) return used;
  if (strncmp(line, kPasswordKeyword, strlen(kPasswordKeyword)) == 0) {
    log_event(LOG_DEBUG, "line used from ini file {%s(hidden)}", kPasswordKeyword);
  } else {
    log_event(LOG_DEBUG, "line used from ini file {%s}", line);
  }
  return used;
}

const char* settings_keyword(int index) {
  return index >= 0 && index < kKeywordCount ? kKeywordTests[index].keyword : nullptr;
}

void strip_line_end(char* line) {
  char* cut = strchr(line, '\r');
  if (cut != nullptr) *cut = '\0';
  cut = strchr(line, '\n');
  if (cut != nullptr) *cut = '\0';
}

// The settings file read in blocks, handed out a line at a time.
struct SettingsReader {
  FILE* stream;
  char block[8192];
  size_t have;  // bytes in `block`
  size_t at;    // the first not yet handed out
  bool ended;   // end of file or a read error: nothing more is read
};

// The next line (or a piece of at most kSettingsLineArea - 3 characters of a
// longer one) with its LF in `area`, or null at the end. A read error ends
// the file too, so a failing stream cannot keep the reader going.
static char* read_settings_line(SettingsReader* reader, char* area) {
  const size_t room = kSettingsLineArea - 3;
  size_t length = 0;
  while (length < room) {
    if (reader->at == reader->have) {
      if (reader->ended) break;
      reader->have = fread(reader->block, 1, sizeof reader->block, reader->stream);
      reader->at = 0;
      if (reader->have < sizeof reader->block) reader->ended = true;
      if (reader->have == 0) break;
    }
    const char* from = reader->block + reader->at;
    size_t take = reader->have - reader->at;
    if (take > room - length) take = room - length;
    const char* lf = static_cast<const char*>(memchr(from, '\n', take));
    if (lf != nullptr) take = static_cast<size_t>(lf - from) + 1;
    memcpy(area + length, from, take);
    length += take;
    reader->at += take;
    if (lf != nullptr) break;
  }
  area[length] = '\0';
  return length > 0 ? area : nullptr;
}

// The run's view of a line no key used: an error line when it is a
// probable mistake.
static void log_unused_line(int number, const char* line, int used, void*) {
  if (used == 0) settings_log_mistake(number, line);
}

bool settings_read(const char* path, const FieldLookup& shown, Settings* settings) {
  return settings_read_each(path, shown, settings, log_unused_line, nullptr);
}

bool settings_read_each(const char* path, const FieldLookup& shown, Settings* settings,
                        SettingsLineFn each, void* context) {
  // A folder opens like a file on some systems and fails at the first read;
  // it is no more a settings file than a missing one.
  FILE* stream = os_is_directory(path) ? nullptr : fopen(path, "r");
  if (stream == nullptr) return false;
  // The current line only; whatever is kept is copied out of it.
  char* area = static_cast<char*>(malloc(kSettingsLineArea));
  SettingsReader* reader = static_cast<SettingsReader*>(malloc(sizeof(SettingsReader)));
  if (area == nullptr || reader == nullptr) fatal_reply(kOutOfMemoryCopy);
  reader->stream = stream;
  reader->have = 0;
  reader->at = 0;
  reader->ended = false;
  int number = 0;
  for (char* line = read_settings_line(reader, area); line != nullptr;
       line = read_settings_line(reader, area)) {
    strip_line_end(line);
    ++number;
    each(number, line, settings_apply_line(settings, line, shown), context);
  }
  free(reader);
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
  if (log_level_enabled(LOG_DEBUG)) {
    log_event(LOG_DEBUG, "add_header_line(%s,%s)", log_quote(0, text), log_quote(1, value));
  }
  add_entry(&settings->header_lines, "header", text, value, variable);
}

void add_body_variable(Settings* settings, const char* text, const char* value, bool variable) {
  if (log_level_enabled(LOG_DEBUG)) {
    log_event(LOG_DEBUG, "add_body_variable(%s,%s}", log_quote(0, text), log_quote(1, value));
  }
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
  free(settings->hello_name);
  free(settings->success_redirect);
  free(settings->failure_redirect);
  free(settings->missing_redirect);
  free(settings->captcha);
  empty_list(&settings->header_lines);
  empty_list(&settings->body_lines);
  *settings = Settings();
}
