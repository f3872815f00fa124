// -check's test request and -webhook resend (see webhook.h).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "deliver/spool_store.h"
#include "deliver/webhook.h"
#include "deliver/webhook_file.h"
#include "deliver/webhook_format.h"
#include "deliver/webhook_post.h"

WebhookProbe webhook_probe(const Settings& settings, int index) {
  char url[kWebhookUrlSize];
  WebhookFormat format;
  webhook_target(settings, index, url, sizeof url, &format);
  char id[kWebhookIdSize];
  spool_new_name(id, sizeof id);
  snprintf(id + strlen(id), sizeof id - strlen(id), "_check%d", index + 1);
  size_t length = 0;
  char* body = webhook_check_body(format, id, spool_now_seconds(), url, &length);
  WebhookAttempt attempt = webhook_post(settings, url, format, id, body, length, 0);
  free(body);
  WebhookProbe probe = {};
  probe.delivered = attempt.answer == WebhookAnswer::kDelivered;
  probe.sent = attempt.sent;
  probe.status = attempt.status;
  probe.elapsed_ms = attempt.elapsed_ms;
  snprintf(probe.detail, sizeof probe.detail, "%s", attempt.detail);
  return probe;
}

namespace {

struct Replay {
  const DeliveryContext* context;
  const SpoolStore* store;
  const char* id;
  ResendReportFn report;
  void* report_context;
  int found;
  int delivered;
};

// One sent/ file of the submission, posted again.
void replay_file(Replay* run, const char* name) {
  char* path = spool_path(run->store->sent, name);
  const char* why = nullptr;
  size_t length = 0;
  int open_error = 0;
  char* data = spool_read_file(path, &length, &why, &open_error);
  free(path);
  HookFile hook;
  char outcome[kDeliveryTextSize + 40];
  if (data == nullptr || !hook_file_parse(data, length, &hook, &why)) {
    snprintf(outcome, sizeof outcome, "not posted (not a readable hook file: %s)", why);
  } else {
    ++run->found;
    WebhookAttempt attempt = webhook_post(*run->context->settings, hook.url, hook.format, hook.id,
                                          hook.body, hook.body_length, 0);
    run->delivered += attempt.answer == WebhookAnswer::kDelivered;
    snprintf(outcome, sizeof outcome, "%s (%s)",
             attempt.answer == WebhookAnswer::kDelivered ? "delivered again" : "not delivered",
             attempt.detail);
  }
  free(data);
  run->report(name, outcome, run->report_context);
}

}  // namespace

int webhook_replay(const DeliveryContext& context, const char* id, ResendReportFn report,
                   void* report_context, int* delivered, char* error, size_t error_size) {
  *delivered = 0;
  const Settings& settings = *context.settings;
  SpoolName parsed;
  // Only a submission id names files: nothing else reaches a path.
  if (!spool_parse_name(id, /*folder=*/true, &parsed)) return 0;
  if (settings.spool_folder == nullptr) {
    snprintf(error, error_size, "no spool_folder line in the settings file %s", context.ini_path);
    return -1;
  }
  SpoolStore store;
  spool_store_open(settings.spool_folder, context.ini_path, settings.spool_keep_sent,
                   settings.smtp_timeout, context.pause_at, &store);
  NameList sent;
  int err = spool_list_sorted(store.sent, &sent);
  Replay run = {&context, &store, id, report, report_context, 0, 0};
  size_t id_length = strlen(id);
  for (int i = 0; err == 0 && i < sent.count; ++i) {
    size_t base_length = 0;
    const char* name = sent.names[i];
    if (hook_file_name_parse(name, &base_length) && base_length == id_length &&
        strncmp(name, id, id_length) == 0) {
      replay_file(&run, name);
    }
  }
  spool_free_names(&sent);
  spool_store_close(&store);
  if (err != 0 && err != ENOENT) {
    snprintf(error, error_size, "sent/ cannot be listed (%d: %s)", err, strerror(err));
    return -1;
  }
  *delivered = run.delivered;
  return run.found;
}
