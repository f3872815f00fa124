// A submission's webhooks (see webhook.h).
#include "deliver/webhook.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "deliver/spool_store.h"
#include "deliver/webhook_file.h"
#include "deliver/webhook_format.h"
#include "deliver/webhook_post.h"
#include "deliver/webhook_store.h"
#include "platform/os.h"

namespace {

// A hook file claims its webhook until its request is surely over: -resend
// leaves it alone until then.
long long first_claim_seconds(const Settings& settings) {
  return 60 + settings.webhook_timeout;
}

}  // namespace

void webhook_target(const Settings& settings, int index, char* url, size_t url_size,
                    WebhookFormat* format) {
  // Kept as "URL FORMAT" by the settings reader.
  const char* item = settings.webhooks.items[index];
  const char* blank = strrchr(item, ' ');
  size_t length = blank != nullptr ? static_cast<size_t>(blank - item) : strlen(item);
  snprintf(url, url_size, "%.*s", static_cast<int>(length), item);
  if (blank == nullptr || !webhook_format_named(blank + 1, format)) *format = WebhookFormat::kJson;
}

void webhook_shown_url(const char* url, char* out, size_t size) {
  // The rest of a URL may be its secret (a chat service's token): the log
  // shows the scheme and the host only.
  const char* host = strstr(url, "://");
  const char* path = host != nullptr ? strchr(host + 3, '/') : nullptr;
  if (path == nullptr || path[1] == '\0') {
    snprintf(out, size, "%s", url);
  } else {
    snprintf(out, size, "%.*s/...", static_cast<int>(path - url), url);
  }
}

namespace {

struct HookRun {
  const DeliveryContext* context;
  SpoolStore store;
  bool spool;
};

// The hook file before the request, so that a run killed in it loses
// nothing. False when it cannot be kept (the request is made all the same).
bool keep_before(HookRun* run, const char* name, HookFile* hook) {
  if (!run->spool) return false;
  size_t length = 0;
  char* data = hook_file_format(*hook, &length);
  bool kept = spool_has_room(run->store, length, run->context->settings->spool_max_mb) &&
              hook_store_write(run->store, name, data, length, false) == 0;
  free(data);
  return kept;
}

// After a request that was not delivered: the file rewritten with its next try.
bool keep_after(HookRun* run, const char* name, HookFile* hook, const WebhookAttempt& attempt) {
  long long now = spool_now_seconds();
  if (attempt.sent) ++hook->attempts;
  long long next = webhook_next_try(hook->attempts, hook->first_try, now, attempt.retry_after,
                                    run->context->settings->webhook_retry_days);
  hook->next_try = next < 0 ? now : next;
  snprintf(hook->last, sizeof hook->last, "%.*s", static_cast<int>(sizeof hook->last - 1),
           attempt.detail);
  size_t length = 0;
  char* data = hook_file_format(*hook, &length);
  bool kept = hook_store_write(run->store, name, data, length, true) == 0;
  free(data);
  return kept;
}

// Webhook `index`'s hook file for the event and its name; the body (in
// hook->body) is the caller's to free.
char* prepare_hook(const Settings& settings, const WebhookEvent& event, int index, HookFile* hook,
                   char* name, size_t name_size) {
  *hook = HookFile();
  hook->webhook = index + 1;
  webhook_target(settings, index, hook->url, sizeof hook->url, &hook->format);
  snprintf(hook->id, sizeof hook->id, "%s_%d", event.id, hook->webhook);
  size_t body_length = 0;
  char* body = webhook_body(hook->format, event, hook->url, &body_length);
  hook->body = body;
  hook->body_length = body_length;
  hook->first_try = spool_now_seconds();
  hook->next_try = hook->first_try + first_claim_seconds(settings);
  hook_file_name(event.id, hook->webhook, name, name_size);
  return body;
}

void one_webhook(HookRun* run, const WebhookEvent& event, int index, WebhookResult* result) {
  const Settings& settings = *run->context->settings;
  HookFile hook;
  char name[kSpoolFileNameSize];
  char* body = prepare_hook(settings, event, index, &hook, name, sizeof name);
  size_t body_length = hook.body_length;
  char shown[kWebhookUrlSize];
  webhook_shown_url(hook.url, shown, sizeof shown);
  bool kept = keep_before(run, name, &hook);
  WebhookAttempt attempt = webhook_post(settings, hook.url, hook.format, hook.id, body,
                                        body_length, run->context->deadline_ms);
  result->status = attempt.status;
  result->elapsed_ms = attempt.elapsed_ms;
  snprintf(result->detail, sizeof result->detail, "%s", attempt.detail);
  if (attempt.answer != WebhookAnswer::kRetry) {
    if (kept) {
      char* path = spool_path(run->store.hooks, name);
      // A delivered request stays in sent/ for -webhook resend.
      if (attempt.answer == WebhookAnswer::kDelivered) {
        char base[kSpoolFileNameSize];
        snprintf(base, sizeof base, "%.*s", static_cast<int>(strlen(name) - 4), name);
        (void)spool_take_out_sent(run->store, path, base);
      } else {
        (void)os_remove_file(path);
      }
      free(path);
    }
    result->end = attempt.answer == WebhookAnswer::kDelivered ? WebhookEnd::kDelivered
                                                              : WebhookEnd::kGone;
    if (result->end == WebhookEnd::kGone) {
      log_event(LOG_ERROR, "webhook %d {%s}: the receiver answered 410 Gone; not sent again.",
                hook.webhook, shown);
    } else {
      log_event(LOG_DEBUG, "webhook %d {%s}: delivered (%s).", hook.webhook, shown,
                attempt.detail);
    }
  } else if (kept && keep_after(run, name, &hook, attempt)) {
    result->end = WebhookEnd::kKept;
    log_event(LOG_ERROR, "webhook %d {%s}: not delivered (%s); kept in hooks/ as {%s}.",
              hook.webhook, shown, attempt.detail, name);
  } else {
    result->end = WebhookEnd::kFailed;
    log_event(LOG_ERROR, "webhook %d {%s}: not delivered (%s).", hook.webhook, shown,
              attempt.detail);
  }
  free(body);
}

}  // namespace

WebhookReport deliver_webhooks(const DeliveryContext& context, const WebhookEvent& event) {
  const Settings& settings = *context.settings;
  WebhookReport report = {};
  HookRun run = {};
  run.context = &context;
  run.spool = settings.spool_folder != nullptr;
  if (run.spool) {
    spool_store_open(settings.spool_folder, context.ini_path, settings.spool_keep_sent,
                     settings.smtp_timeout, context.pause_at, &run.store);
  }
  for (int i = 0; i < settings.webhooks.count && i < kMaxWebhooks; ++i) {
    one_webhook(&run, event, i, &report.results[i]);
    ++report.count;
  }
  if (run.spool) spool_store_close(&run.store);
  return report;
}

int hold_webhooks(const DeliveryContext& context, const WebhookEvent& event,
                  const char* held_for, bool in_queue) {
  const Settings& settings = *context.settings;
  if (settings.spool_folder == nullptr) return 0;
  HookRun run = {};
  run.context = &context;
  run.spool = true;
  spool_store_open(settings.spool_folder, context.ini_path, settings.spool_keep_sent,
                   settings.smtp_timeout, context.pause_at, &run.store);
  int held = 0;
  for (int i = 0; i < settings.webhooks.count && i < kMaxWebhooks; ++i) {
    HookFile hook;
    char name[kSpoolFileNameSize];
    char* body = prepare_hook(settings, event, i, &hook, name, sizeof name);
    snprintf(hook.held, sizeof hook.held, "%s", held_for);
    hook.held_in_queue = in_queue;
    if (keep_before(&run, name, &hook)) {
      ++held;
      log_event(LOG_DEBUG, "webhook %d: held in hooks/ as {%s} with the %s message.",
                hook.webhook, name, in_queue ? "queued" : "quarantined");
    }
    free(body);
  }
  spool_store_close(&run.store);
  return held;
}

void webhook_report_words(const WebhookReport& report, char* out, size_t size) {
  int counts[4] = {};
  for (int i = 0; i < report.count; ++i) ++counts[static_cast<int>(report.results[i].end)];
  static const char* const kWords[] = {"delivered", "kept for retry", "gone (410)",
                                       "not delivered"};
  size_t used = 0;
  out[0] = '\0';
  for (int i = 0; i < 4; ++i) {
    if (counts[i] == 0 || used >= size) continue;
    int wrote = snprintf(out + used, size - used, "%s%d %s", used > 0 ? ", " : "", counts[i],
                         kWords[i]);
    if (wrote > 0) used += static_cast<size_t>(wrote);
  }
}
