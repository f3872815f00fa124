// One webhook request (see webhook_post.h).
#include "deliver/webhook_post.h"

#include <cstdio>
#include <cstring>

#include "base/secret_file.h"
#include "deliver/spool_store.h"
#include "deliver/webhook_file.h"
#include "deliver/webhook_format.h"
#include "deliver/webhook_sign.h"
#include "http/http_client.h"
#include "platform/os.h"

namespace {

// The signing key from webhook_secret_file; false with the reason.
bool read_key(const char* path, unsigned char* key, size_t* key_length, char* why,
              size_t why_size) {
  char line[kWebhookKeySize * 2];
  size_t length = 0;
  int open_error = 0;
  SecretLine state = secret_file_line(path, line, sizeof line - 1, &length, &open_error);
  bool ok = state == SecretLine::kRead && webhook_secret_key(line, length, key, key_length);
  memset(line, 0, sizeof line);
  if (!ok) {
    snprintf(why, why_size, "webhook_secret_file %s %s", path,
             state == SecretLine::kRead ? "does not hold whsec_ and base64 on its first line"
             : state == SecretLine::kEmpty ? "is empty"
                                           : "cannot be read");
  }
  return ok;
}

}  // namespace

WebhookAttempt webhook_post(const Settings& settings, const char* url, WebhookFormat format,
                            const char* id, const char* body, size_t body_length,
                            long long deadline_ms) {
  WebhookAttempt attempt = {};
  attempt.answer = WebhookAnswer::kRetry;
  attempt.retry_after = -1;
  if (strncmp(url, "http://", 7) == 0 && !settings.webhook_allow_http) {
    snprintf(attempt.detail, sizeof attempt.detail,
             "plain http:// is not used without webhook_allow_http true");
    return attempt;
  }
  HttpHeader headers[3];
  int header_count = 0;
  char stamp[32];
  char signature[kWebhookSignatureSize];
  long long now = spool_now_seconds();
  // Chat services take their URL as their secret; only json is signed.
  if (format == WebhookFormat::kJson) {
    snprintf(stamp, sizeof stamp, "%lld", now);
    headers[header_count++] = HttpHeader{"webhook-id", id};
    headers[header_count++] = HttpHeader{"webhook-timestamp", stamp};
    if (settings.webhook_secret_file != nullptr) {
      unsigned char key[kWebhookKeySize];
      size_t key_length = 0;
      if (!read_key(settings.webhook_secret_file, key, &key_length, attempt.detail,
                    sizeof attempt.detail)) {
        return attempt;
      }
      webhook_signature(key, key_length, id, now, body, body_length, signature);
      memset(key, 0, sizeof key);
      headers[header_count++] = HttpHeader{"webhook-signature", signature};
    }
  }
  // ntfy takes a JSON message at the server's root, the topic inside it.
  char root[kWebhookUrlSize];
  char topic[256];
  const char* target = url;
  if (format == WebhookFormat::kNtfy &&
      webhook_ntfy_split(url, root, sizeof root, topic, sizeof topic)) {
    target = root;
  }
  HttpRequest request;
  request.method = "POST";
  request.url = target;
  request.content_type = "application/json";
  request.body = body;
  request.body_length = body_length;
  request.headers = headers;
  request.header_count = header_count;
  request.ca_file = settings.webhook_ca_file;
  request.timeout_seconds = settings.webhook_timeout;
  request.deadline_ms = deadline_ms;
  HttpResult result;
  long long started = os_monotonic_ms();
  attempt.sent = true;
  bool answered = http_exchange(request, &result);
  attempt.elapsed_ms = os_monotonic_ms() - started;
  if (!answered) {
    snprintf(attempt.detail, sizeof attempt.detail, "%s", result.error);
  } else {
    attempt.status = result.answer.status;
    snprintf(attempt.detail, sizeof attempt.detail, "HTTP %d", attempt.status);
    if (attempt.status >= 200 && attempt.status <= 299) {
      attempt.answer = WebhookAnswer::kDelivered;
    } else if (attempt.status == 410) {
      attempt.answer = WebhookAnswer::kGone;
    } else {
      attempt.retry_after = webhook_retry_after(result.answer.retry_after, now);
    }
  }
  http_result_free(&result);
  return attempt;
}
