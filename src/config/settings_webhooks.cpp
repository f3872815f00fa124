// The webhook keys: the URLs a submission is posted to, how they are
// reached, and whether the mail goes too (see settings_keys.h).
#include <cstdio>
#include <cstring>

#include "base/log.h"
#include "config/settings_keys.h"

namespace {

constexpr int kMaxWebhookTimeout = 300;
constexpr int kMaxWebhookRetryDays = 30;
constexpr size_t kMaxWebhookUrl = 2000;

bool format_known(const char* word) {
  for (const char* format : kWebhookFormats) {
    if (strcmp(word, format) == 0) return true;
  }
  return false;
}

// An absolute http(s) URL with a host, no blanks or control characters.
bool url_usable(const char* url, size_t length) {
  size_t scheme = strncmp(url, "https://", 8) == 0 ? 8 : strncmp(url, "http://", 7) == 0 ? 7 : 0;
  if (scheme == 0 || length <= scheme || length > kMaxWebhookUrl || url[scheme] == '/') {
    return false;
  }
  for (size_t i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(url[i]);
    if (c <= ' ' || c == 0x7f) return false;
  }
  return true;
}

int set_true_false(bool* slot, const char* key, const char* rest) {
  if (strcmp(rest, "true") != 0 && strcmp(rest, "false") != 0) {
    log_event(LOG_ERROR, "%s{%s} is neither true nor false; keeping %s.", key, rest,
              *slot ? "true" : "false");
    return 0;
  }
  *slot = rest[0] == 't';
  return 1;
}

}  // namespace

// "URL" or "URL FORMAT", kept as "URL FORMAT".
int add_webhook(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  const char* blank = strchr(rest, ' ');
  size_t url_length = blank != nullptr ? static_cast<size_t>(blank - rest) : strlen(rest);
  const char* format = blank != nullptr ? blank + 1 : kWebhookFormats[0];
  if (!url_usable(rest, url_length)) {
    log_event(LOG_ERROR, "webhook {%s} does not begin with an http:// or https:// URL; not used.",
              rest);
    return 0;
  }
  if (!format_known(format)) {
    log_event(LOG_ERROR,
              "webhook {%s}: the format is none of json, slack, mattermost, discord, ntfy, "
              "teams; not used.", rest);
    return 0;
  }
  if (settings->webhooks.count >= kMaxWebhooks) {
    log_event(LOG_ERROR, "webhook {%s} was not added: at most %d webhooks are used.", rest,
              kMaxWebhooks);
    return 0;
  }
  char value[kMaxWebhookUrl + 32];
  snprintf(value, sizeof value, "%.*s %s", static_cast<int>(url_length), rest, format);
  return add_to_list(&settings->webhooks, "webhook ", value);
}

int set_webhook_allow_http(Settings* settings, const char*, const char* rest,
                           const FieldLookup&) {
  return set_true_false(&settings->webhook_allow_http, "webhook_allow_http ", rest);
}

int set_webhook_timeout(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  return set_bounded_number(&settings->webhook_timeout, "webhook_timeout ", rest, 1,
                            kMaxWebhookTimeout, " of seconds");
}

int set_webhook_retry_days(Settings* settings, const char*, const char* rest,
                           const FieldLookup&) {
  return set_bounded_number(&settings->webhook_retry_days, "webhook_retry_days ", rest, 1,
                            kMaxWebhookRetryDays, " of days");
}

int set_send_mail(Settings* settings, const char*, const char* rest, const FieldLookup&) {
  return set_true_false(&settings->send_mail, "send_mail ", rest);
}
