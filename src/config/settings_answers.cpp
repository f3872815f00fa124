// The settings keys of the answers (HTTP status, redirects), of the CAPTCHA
// check and of the confirmation mail: one handler a key, called by the
// settings reader (settings_keys.h).
#include "config/settings_keys.h"

#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "base/program.h"

// answers

int set_http_status(Settings* settings, const char*, const char* rest, const FieldLookup&) {
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
// end or split the Location line, and no backslash, which browsers read as
// "/" ("/\evil.example" is "//evil.example").
static bool is_redirect_target(const char* url) {
  for (const char* p = url; *p != '\0'; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c <= ' ' || c == 0x7f || c == '\\') return false;
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

int set_success_redirect(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  return set_redirect(&settings->success_redirect, "success_redirect ", rest);
}

int set_failure_redirect(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  return set_redirect(&settings->failure_redirect, "failure_redirect ", rest);
}

int set_missing_redirect(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  return set_redirect(&settings->missing_redirect, "missing_redirect ", rest);
}

// CAPTCHA verification and the confirmation mail

constexpr int kMaxCaptchaTimeout = 300;

int set_captcha(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  static const char* const kProviders[] = {"turnstile", "hcaptcha", "recaptcha", "altcha"};
  for (const char* provider : kProviders) {
    if (strcmp(rest, provider) != 0) continue;
    replace_text(&settings->captcha, rest);
    return 1;
  }
  log_event(LOG_ERROR,
            "captcha {%s} is not turnstile, hcaptcha, recaptcha or altcha; keeping %s.", rest,
            settings->captcha != nullptr ? settings->captcha : "no CAPTCHA check");
  return 0;
}

// A decimal from 0 to 1 ("0.5", "1", ".75"); nothing else.
int set_captcha_min_score(Settings* settings, const char*, const char* rest,
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

int set_captcha_timeout(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  return set_bounded_number(&settings->captcha_timeout, "captcha_timeout ", rest, 1,
                            kMaxCaptchaTimeout, " of seconds");
}

int set_captcha_unreachable(Settings* settings, const char*, const char* rest,
                            const FieldLookup&) {
  if (strcmp(rest, "refuse") != 0 && strcmp(rest, "send") != 0) {
    log_event(LOG_ERROR, "captcha_unreachable {%s} is neither refuse nor send; keeping %s.", rest,
              settings->captcha_unreachable_send ? "send" : "refuse");
    return 0;
  }
  settings->captcha_unreachable_send = rest[0] == 's';
  return 1;
}

int set_altcha_algorithm(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  if (strcmp(rest, "PBKDF2/SHA-256") != 0 && strcmp(rest, "SHA-256") != 0) {
    log_event(LOG_ERROR, "altcha_algorithm {%s} is neither PBKDF2/SHA-256 nor SHA-256; keeping %s.",
              rest, settings->altcha_sha_only ? "SHA-256" : "PBKDF2/SHA-256");
    return 0;
  }
  settings->altcha_sha_only = rest[0] == 'S';
  return 1;
}

int set_altcha_cost(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  return set_bounded_number(&settings->altcha_cost, "altcha_cost ", rest, 1, 10000000,
                            " of iterations");
}

int set_altcha_expires(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  return set_bounded_number(&settings->altcha_expires, "altcha_expires ", rest, 10, 86400,
                            " of seconds");
}

int set_altcha_min_seconds(Settings* settings, const char*, const char* rest,
                           const FieldLookup&) {
  return set_bounded_number(&settings->altcha_min_seconds, "altcha_min_seconds ", rest, 0, 3600,
                            " of seconds");
}

int set_altcha_version(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  return set_bounded_number(&settings->altcha_version, "altcha_version ", rest, 1, 2, "");
}

int set_autoreply_window(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  return set_bounded_number(&settings->autoreply_window, "autoreply_window ", rest, 1,
                            kMaxRateLimitMinutes, " of minutes");
}
