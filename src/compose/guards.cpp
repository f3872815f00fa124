#include "compose/guards.h"

#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "base/program.h"
#include "compose/envelope.h"
#include "config/settings.h"
#include "form/form.h"

// A host name has at most 253 characters; an IPv6 address in brackets fewer.
constexpr size_t kHostArea = 256;

// Whether two texts are equal, ASCII case ignored.
static bool same_text(const char* a, size_t a_length, const char* b, size_t b_length) {
  return a_length == b_length && ascii_equal_n(a, b, a_length);
}

bool recipient_matches(const char* address, const char* allowed) {
  if (allowed[0] != '@') {
    return same_text(address, strlen(address), allowed, strlen(allowed));
  }
  const char* at = strchr(address, '@');
  if (at == nullptr) return false;
  return same_text(at + 1, strlen(at + 1), allowed + 1, strlen(allowed + 1));
}

bool origin_host(const char* url, char* host, size_t size) {
  const char* mark = strstr(url, "://");
  if (mark == nullptr || mark == url) return false;
  for (const char* p = url; p < mark; ++p) {
    char c = ascii_lower(*p);
    bool scheme_char = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
                       c == '-' || c == '.';
    if (!scheme_char) return false;
  }
  const char* start = mark + 3;
  const char* end = start + strcspn(start, "/?#");
  // user:password@ in front of the host belongs to no host name.
  for (const char* p = end; p > start; --p) {
    if (p[-1] == '@') {
      start = p;
      break;
    }
  }
  const char* host_end;
  if (*start == '[') {
    const char* close = static_cast<const char*>(memchr(start, ']', static_cast<size_t>(end - start)));
    if (close == nullptr) return false;
    host_end = close + 1;
  } else {
    host_end = static_cast<const char*>(memchr(start, ':', static_cast<size_t>(end - start)));
    if (host_end == nullptr) host_end = end;
  }
  size_t length = static_cast<size_t>(host_end - start);
  if (length == 0 || length >= size) return false;
  memcpy(host, start, length);
  host[length] = '\0';
  return true;
}

// Host names compared without regard to case or to one final dot.
bool same_host(const char* a, const char* b) {
  size_t a_length = strlen(a);
  size_t b_length = strlen(b);
  if (a_length > 1 && a[a_length - 1] == '.') --a_length;
  if (b_length > 1 && b[b_length - 1] == '.') --b_length;
  return same_text(a, a_length, b, b_length);
}

// `text` for a log line: bytes other than printable ASCII as \xNN. `out`
// holds 4 * strlen(text) + 1 bytes.
static void escape_for_log(const char* text, char* out) {
  static const char kHex[] = "0123456789abcdef";
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != '\0'; ++p) {
    if (*p > ' ' && *p < 0x7f && *p != '\\') {
      *out++ = static_cast<char>(*p);
      continue;
    }
    *out++ = '\\';
    *out++ = 'x';
    *out++ = kHex[*p >> 4];
    *out++ = kHex[*p & 0xf];
  }
  *out = '\0';
}

static bool honeypot_filled(const Settings& settings, const FormTable& form) {
  const SettingList& fields = settings.honeypot_variables;
  for (int f = 0; f < fields.count; ++f) {
    // Every entry of the name counts: a bot may send the field twice.
    for (int i = 0; i < form.count; ++i) {
      const char* name = form.names[i];
      const char* value = form.values[i];
      if (name == nullptr || value == nullptr || value[0] == '\0') continue;
      if (strcmp(name, fields.items[f]) != 0) continue;
      log_event(LOG_ERROR,
                "submission dropped: the honeypot field {%s} was filled in; nothing sent, "
                "success page shown.",
                fields.items[f]);
      return true;
    }
  }
  return false;
}

// The host the post came from: HTTP_ORIGIN, or without one that names a
// host, HTTP_REFERER. False when neither names one.
static bool posting_host(char* host) {
  const char* variables[] = {"HTTP_ORIGIN", "HTTP_REFERER"};
  for (const char* variable : variables) {
    const char* value = getenv(variable);
    if (value != nullptr && origin_host(value, host, kHostArea)) return true;
  }
  return false;
}

static bool origin_refused(const Settings& settings) {
  const SettingList& allowed = settings.allowed_origins;
  if (allowed.count == 0) return false;
  char host[kHostArea];
  // Old browsers and privacy settings send neither: let those through.
  if (!posting_host(host)) return false;
  for (int i = 0; i < allowed.count; ++i) {
    if (same_host(host, allowed.items[i])) return false;
  }
  char shown[4 * kHostArea + 1];
  escape_for_log(host, shown);
  log_event(LOG_ERROR,
            "submission refused: it was posted from host {%s}, which is no allowed_origin.",
            shown);
  return true;
}

static bool is_blank_text(const char* text) {
  for (const char* p = text; *p != '\0'; ++p) {
    if (strchr(" \t\r\n\v\f", *p) == nullptr) return false;
  }
  return true;
}

static bool fields_missing(const Settings& settings, const FormTable& form,
                           TextBuffer** missing) {
  const SettingList& required = settings.required_variables;
  for (int i = 0; i < required.count; ++i) {
    // The first entry of the name is the one the mail would show.
    if (!is_blank_text(form_value(form, required.items[i]))) continue;
    if (*missing == nullptr) {
      *missing = text_buffer_new(required.items[i]);
    } else {
      text_buffer_append(*missing, ", %s", required.items[i]);
    }
  }
  if (*missing == nullptr) return false;
  log_event(LOG_ERROR, "submission refused: required fields missing or empty: {%s}.",
            (*missing)->data);
  return true;
}

GuardStop check_form_guards(const Settings& settings, const FormTable& form,
                            TextBuffer** missing) {
  *missing = nullptr;
  if (honeypot_filled(settings, form)) return GuardStop::kHoneypot;
  if (origin_refused(settings)) return GuardStop::kOrigin;
  if (fields_missing(settings, form, missing)) return GuardStop::kMissingFields;
  return GuardStop::kNone;
}

bool recipients_allowed(const Settings& settings, const Envelope& envelope) {
  const SettingList& allowed = settings.allowed_recipients;
  if (allowed.count == 0) {
    if (envelope.recipient_from_form) {
      log_event(LOG_ERROR,
                "recipient taken from the form without allowed_recipient lines: anyone can "
                "choose where this mail goes");
    }
    return true;
  }
  const char* recipients[] = {envelope.to, envelope.cc, envelope.bcc};
  for (const char* recipient : recipients) {
    if (recipient == nullptr) continue;
    bool found = false;
    for (int i = 0; i < allowed.count && !found; ++i) {
      found = recipient_matches(recipient, allowed.items[i]);
    }
    if (!found) {
      log_event(LOG_ERROR, "submission refused: recipient {%s} is no allowed_recipient.",
                recipient);
      return false;
    }
  }
  return true;
}
