// The settings keys of the classic file, of delivery through mail providers
// (security, login, hello name), of the abuse guards and of the spool: one
// handler a key, called by the settings reader (settings_keys.h).
#include "config/settings_keys.h"

#include <cstdio>
#include <cstring>

#include "base/hostname.h"
#include "base/log.h"
#include "config/origin.h"

// What the log shows as the value of the form field `name` ("" when the
// log writes no debug lines: nothing will show it).
static const char* field_shown(const FieldLookup& shown, const char* name) {
  if (!log_level_enabled(LOG_DEBUG)) return "";
  return shown.value != nullptr ? shown.value(name, shown.context) : "";
}

// Each handler gets the line and the rest after its keyword, and returns 1
// when the line took effect.
int set_no_padding(Settings* settings, const char*, const char*, const FieldLookup&) {
  settings->no_padding = true;
  return 1;
}

int set_add_headerline_colon(Settings* settings, const char*, const char*, const FieldLookup&) {
  settings->add_headerline_colon = true;
  return 1;
}

int set_add_zolvar_link(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  if (strcmp(rest, "false") != 0) return 0;
  settings->add_zolvar_link = false;
  return 1;
}

int set_hello_method(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  settings->use_helo = strncmp(rest, "HELO", 4) == 0;
  return 1;
}

int set_remove_empty_variables(Settings* settings, const char*, const char*, const FieldLookup&) {
  settings->remove_empty_variables = true;
  return 1;
}

int set_logging(Settings* settings, const char*, const char*, const FieldLookup&) {
  // From here on the log follows the new level, starting with this very
  // line's "line used" entry.
  g_log.logging = settings->logging;
  return 1;
}

int set_email_line_ending(Settings* settings, const char* line, const char*, const FieldLookup&) {
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

int set_static_header(Settings* settings, const char*, const char* rest,
                      const FieldLookup&) {
  add_header_line(settings, rest, "", /*variable=*/false);
  return 1;
}

// The field's value is looked up when the message is built; the log line
// shows what `shown` gives for it now.
int set_variable_header(Settings* settings, const char*, const char* rest,
                        const FieldLookup& shown) {
  add_header_line(settings, rest, field_shown(shown, rest), /*variable=*/true);
  return 1;
}

int set_static_body(Settings* settings, const char*, const char* rest,
                    const FieldLookup&) {
  add_body_variable(settings, rest, "", /*variable=*/false);
  return 1;
}

int set_variable_body(Settings* settings, const char*, const char* rest,
                      const FieldLookup& shown) {
  add_body_variable(settings, rest, field_shown(shown, rest), /*variable=*/true);
  return 1;
}

// Digits only, 1 to kMaxSmtpTimeout; anything else keeps the value in force.
int set_smtp_timeout(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  return set_bounded_number(&settings->smtp_timeout, "smtp_timeout ", rest, 1,
                            kMaxSmtpTimeout, " of seconds");
}

int set_smtp_security(Settings* settings, const char*, const char* rest, const FieldLookup&) {
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

int set_standard_headers(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  if (strcmp(rest, "true") == 0 || strcmp(rest, "false") == 0) {
    settings->standard_headers = rest[0] == 't';
    return 1;
  }
  log_event(LOG_ERROR, "standard_headers {%s} is not true or false; keeping %s.", rest,
            settings->standard_headers ? "true" : "false");
  return 0;
}

bool form_decoding_word(const char* rest, bool* classic) {
  if (strcmp(rest, "standard") != 0 && strcmp(rest, "classic") != 0) return false;
  *classic = rest[0] == 'c';
  return true;
}

// The driver has read this line already (settings_read_early),
// as the form is decoded before the settings: here it is checked and kept.
int set_form_decoding(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  if (form_decoding_word(rest, &settings->classic_form_decoding)) return 1;
  log_event(LOG_ERROR, "form_decoding {%s} is not standard or classic; keeping %s.", rest,
            settings->classic_form_decoding ? "classic" : "standard");
  return 0;
}

// abuse guards

constexpr int kMaxRateLimitCount = 10000;

// The characters an address found in a header can hold (see scan_address):
// an allowed address made of others could never match one. A local part
// may hold RFC 5321's other unquoted characters too.
static bool is_address_byte(char c, bool local) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         c == '.' || c == '_' || c == '-' || c == '+' ||
         (local && c != '\0' && strchr("!#$%&'*/=?^`{|}~", c) != nullptr);
}

static bool is_address_run(const char* start, const char* end, bool local) {
  if (start == end) return false;
  for (const char* p = start; p < end; ++p) {
    if (!is_address_byte(*p, local)) return false;
  }
  return true;
}

// "name@example.com" or "@example.com".
static bool is_recipient_pattern(const char* text) {
  const char* at = strchr(text, '@');
  if (at == nullptr) return false;
  const char* end = text + strlen(text);
  return (at == text || is_address_run(text, at, true)) && is_address_run(at + 1, end, false);
}

int add_allowed_recipient(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  if (!is_recipient_pattern(rest)) {
    log_event(LOG_ERROR,
              "allowed_recipient {%s} is neither an address (name@example.com) nor a "
              "domain (@example.com); line ignored.",
              rest);
    return 0;
  }
  return add_to_list(&settings->allowed_recipients, "allowed_recipient ", rest);
}

int add_form_field(SettingList* list, const char* key, const char* rest) {
  if (rest[0] == '\0') {
    log_event(LOG_ERROR, "%s{} names no form field; line ignored.", key);
    return 0;
  }
  return add_to_list(list, key, rest);
}

int add_honeypot_variable(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  return add_form_field(&settings->honeypot_variables, "honeypot_variable ", rest);
}

int add_required_variable(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  return add_form_field(&settings->required_variables, "required_variable ", rest);
}

// Unlike other keys, a value that cannot be read is kept as an entry that
// matches no origin: a mistyped line must not turn the guard off.
int add_allowed_origin(Settings* settings, const char*, const char* rest, const FieldLookup&) {
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

// Minutes within which the same post from one client is sent once.
int set_duplicate_window(Settings* settings, const char*, const char* rest,
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
int set_rate_limit(Settings* settings, const char*, const char* rest, const FieldLookup&) {
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

int set_hello_name(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  if (!host_name_valid(rest)) {
    log_event(LOG_ERROR, "hello_name {%s} is not a domain name; keeping %s.", rest,
              settings->hello_name != nullptr ? settings->hello_name : "the default");
    return 0;
  }
  replace_text(&settings->hello_name, rest);
  return 1;
}

// A folder path, taken verbatim; an empty one turns nothing on.
int set_spool_folder(Settings* settings, const char*, const char* rest, const FieldLookup&) {
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
int set_spool_keep_sent(Settings* settings, const char*, const char* rest, const FieldLookup&) {
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
