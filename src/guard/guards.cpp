#include "guard/guards.h"

#include <cstring>

#include "base/log.h"
#include "base/program.h"
#include "compose/envelope.h"
#include "config/settings.h"
#include "form/form.h"

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
  // A local part with a routing character (bob%evil.test@, evil.test!bob@)
  // may be forwarded by a relay to another domain than the one allowed.
  if (strcspn(address, "%!") < static_cast<size_t>(at - address)) return false;
  return same_text(at + 1, strlen(at + 1), allowed + 1, strlen(allowed + 1));
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

bool honeypot_filled(const Settings& settings, const FormTable& form) {
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

// The origin the post came from: its Origin, or without one that names a
// host, its Referer. False when neither names one. A value with a port
// that is no number keeps its host only (no scheme, port -1), so that
// only the entries naming a bare host can match it.
static bool posting_origin(const Request& request, WebOrigin* origin) {
  const char* values[] = {request.origin, request.referer};
  for (const char* value : values) {
    if (value == nullptr || !origin_host(value, origin->host, sizeof origin->host)) continue;
    if (!web_origin_parse(value, origin)) {
      origin->scheme[0] = '\0';
      origin->port = -1;
    }
    return true;
  }
  return false;
}

bool origin_refused(const Settings& settings, const Request& request) {
  const SettingList& allowed = settings.allowed_origins;
  if (allowed.count == 0) return false;
  WebOrigin origin;
  // Old browsers and privacy settings send neither: let those through.
  if (!posting_origin(request, &origin)) return false;
  if (origin_allowed(allowed.items, allowed.count, origin)) return false;
  char shown[4 * kHostArea + 1];
  escape_for_log(origin.host, shown);
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

bool fields_missing(const Settings& settings, const FormTable& form, FieldNames* missing) {
  const SettingList& required = settings.required_variables;
  TextBuffer* shown = nullptr;
  for (int i = 0; i < required.count; ++i) {
    // The first entry of the name is the one the mail would show.
    if (!is_blank_text(form_value(form, required.items[i]))) continue;
    field_names_add(missing, required.items[i]);
    if (shown == nullptr) {
      shown = text_buffer_new(required.items[i]);
    } else {
      text_buffer_append(shown, ", %s", required.items[i]);
    }
  }
  if (shown == nullptr) return false;
  log_event(LOG_ERROR, "submission refused: required fields missing or empty: {%s}.",
            shown->data);
  text_buffer_free(shown);
  return true;
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
