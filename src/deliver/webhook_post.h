#pragma once
// One webhook request: the body posted to the URL with its headers (and
// for json the Standard Webhooks headers and signature, made anew for each
// attempt), the answer read but no redirect followed. Part of the
// delivery layer (deliver/webhook.h); logs nothing, the caller words it.

#include <cstddef>

#include "config/settings.h"
#include "deliver/webhook_event.h"

// What one request came to.
enum class WebhookAnswer {
  kDelivered,  // 2xx
  kGone,       // 410
  kRetry,      // anything else: another status, no answer, or not sent
};

struct WebhookAttempt {
  WebhookAnswer answer;
  int status;               // 0 without an answer
  long long retry_after;    // seconds the receiver asked to wait, -1 for none
  long long elapsed_ms;
  bool sent;                // the request was made (false: settings stopped it)
  char detail[kDeliveryTextSize];  // "HTTP 503", "timed out after 5 s", ...
};

// Posts `body` to webhook `url` in `format` with `id` as webhook-id, signed
// with webhook_secret_file for json when it is set, within webhook_timeout
// and `deadline_ms` (0: none). An http:// URL without webhook_allow_http, or
// a secret file that cannot be read, is no request (kRetry, sent false).
WebhookAttempt webhook_post(const Settings& settings, const char* url, WebhookFormat format,
                            const char* id, const char* body, size_t body_length,
                            long long deadline_ms);
