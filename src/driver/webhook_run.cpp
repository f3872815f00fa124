#include "driver/webhook_run.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "base/program.h"
#include "deliver/spool_store.h"
#include "driver/environment.h"

namespace {

// The settings file's name without its folder and ".ini".
void form_name(const char* ini_path, char* out, size_t size) {
  const char* name = ini_path;
  for (const char* p = ini_path; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') name = p + 1;
  }
  size_t length = strlen(name);
  if (length > 4 && strcmp(name + length - 4, ".ini") == 0) length -= 4;
  snprintf(out, size, "%.*s", static_cast<int>(length), name);
}

bool is_file_entry(const FormRequest& request, int entry) {
  for (int i = 0; i < request.file_count; ++i) {
    if (request.files[i].entry == entry) return true;
  }
  return false;
}

}  // namespace

void webhook_step_start(WebhookStep* step, const Settings& settings, const char* id,
                        long long deadline_ms, const FormTable& form, const FormRequest& request) {
  *step = WebhookStep();
  step->on = settings.webhooks.count > 0;
  step->settings = &settings;
  step->id = id;
  step->deadline_ms = deadline_ms;
  step->form = &form;
  step->request = &request;
}

void webhook_keep_subject(WebhookStep* step, const Message& message) {
  if (!step->on || message.header.wire == nullptr) return;
  const char* header = message.header.wire->data;
  for (const char* line = header; line != nullptr && *line != '\0';) {
    if (strncmp(line, "Subject: ", 9) == 0) {
      size_t length = strcspn(line + 9, "\r\n");
      snprintf(step->subject, sizeof step->subject, "%.*s", static_cast<int>(length), line + 9);
      return;
    }
    line = strchr(line, '\n');
    if (line != nullptr) ++line;
  }
}

namespace {

// The submission's event, posted to the webhooks, or held in hooks/ with
// its message kept as `held_for` (quarantine/, or queue/ when `in_queue`).
void post_or_hold(WebhookStep* step, const char* mail_outcome, const char* message_id,
                  const char* held_for, bool in_queue) {
  const FormTable& form = *step->form;
  const FormRequest& request = *step->request;
  WebhookField* fields =
      static_cast<WebhookField*>(malloc(sizeof(WebhookField) * (form.count + 1)));
  WebhookFile* files =
      static_cast<WebhookFile*>(malloc(sizeof(WebhookFile) * (request.file_count + 1)));
  if (fields == nullptr || files == nullptr) fatal_reply(kOutOfMemory);
  int field_count = 0;
  for (int i = 0; i < form.count; ++i) {
    if (!is_file_entry(request, i)) fields[field_count++] = {form.names[i], form.values[i]};
  }
  for (int i = 0; i < request.file_count; ++i) {
    const FormFile& file = request.files[i];
    files[i] = {form.names[file.entry], file.file_name, file.content_type,
                static_cast<long long>(file.size)};
  }
  char name[256];
  form_name(g_program.ini_path, name, sizeof name);
  WebhookEvent event = {step->id, spool_now_seconds(), name,
                        step->subject[0] != '\0' ? step->subject : nullptr,
                        fields, field_count, files, request.file_count, mail_outcome, message_id};
  DeliveryContext context = delivery_context(*step->settings);
  context.deadline_ms = step->deadline_ms;
  if (held_for != nullptr) {
    int held = hold_webhooks(context, event, held_for, in_queue);
    if (held > 0) {
      snprintf(step->words, sizeof step->words, "%d held for %s/", held,
               in_queue ? "queue" : "quarantine");
    }
  } else {
    step->report = deliver_webhooks(context, event);
    step->fired = true;
    webhook_report_words(step->report, step->words, sizeof step->words);
  }
  free(fields);
  free(files);
}

}  // namespace

void webhook_step_fire(WebhookStep* step, const char* mail_outcome, const char* message_id) {
  post_or_hold(step, mail_outcome, message_id, nullptr, false);
}

void webhook_step_hold(WebhookStep* step, const Message& message) {
  if (!step->on) return;
  webhook_keep_subject(step, message);
  post_or_hold(step, "quarantined", message.header.message_id, step->id, false);
}

void webhook_step_hold_queued(WebhookStep* step, const Message& message, const char* spool_name) {
  if (!step->on) return;
  webhook_keep_subject(step, message);
  post_or_hold(step, "sent", message.header.message_id, spool_name, true);
}

DeliveryResult webhook_instead_of_mail(WebhookStep* step) {
  DeliveryResult result = {};
  result.outcome = DeliveryOutcome::kNotConfigured;
  const Settings& settings = *step->settings;
  if (!step->on || settings.spool_folder == nullptr) {
    log_event(LOG_ERROR, "send_mail false needs %s: nothing sent.",
              step->on ? "a spool_folder line" : "a webhook line");
    return result;
  }
  webhook_step_fire(step, nullptr, nullptr);
  int counts[4] = {};
  for (int i = 0; i < step->report.count; ++i) {
    ++counts[static_cast<int>(step->report.results[i].end)];
  }
  result.outcome = counts[static_cast<int>(WebhookEnd::kDelivered)] > 0 ? DeliveryOutcome::kSent
                   : counts[static_cast<int>(WebhookEnd::kKept)] > 0 ? DeliveryOutcome::kKeptInSpool
                   : counts[static_cast<int>(WebhookEnd::kGone)] > 0 ? DeliveryOutcome::kRefused
                                                                      : DeliveryOutcome::kUnreachable;
  snprintf(result.failure, sizeof result.failure, "to the webhooks only (send_mail false)");
  return result;
}
