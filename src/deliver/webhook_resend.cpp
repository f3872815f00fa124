// -resend of hooks/: every hook file that is due, oldest first.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "base/program.h"
#include "deliver/spool_store.h"
#include "deliver/webhook.h"
#include "deliver/webhook_file.h"
#include "deliver/webhook_post.h"
#include "deliver/webhook_store.h"
#include "platform/os.h"

namespace {

struct HookResend {
  const DeliveryContext* context;
  SpoolStore store;
  char mine_name[kSpoolNameSize];
  char* mine;
  ResendReportFn report;
  void* report_context;
  HookTally* tally;
  bool release_queued;  // a release is of hooks held for queue/, not quarantine/
};

void say(HookResend* run, const char* name, const char* format, ...) QUILLON_PRINTF(3, 4);
void say(HookResend* run, const char* name, const char* format, ...) {
  char outcome[600];
  va_list args;
  va_start(args, format);
  vsnprintf(outcome, sizeof outcome, format, args);
  va_end(args);
  run->report(name, outcome, run->report_context);
}

// A request that got no 2xx: back into hooks/ with its next try, or to
// failed/ when the retry days are over.
void after_failure(HookResend* run, const char* claimed, const char* name, HookFile* hook,
                   const WebhookAttempt& attempt) {
  long long now = spool_now_seconds();
  if (attempt.sent) ++hook->attempts;
  snprintf(hook->last, sizeof hook->last, "%.*s", static_cast<int>(sizeof hook->last - 1),
           attempt.detail);
  long long next = webhook_next_try(hook->attempts, hook->first_try, now, attempt.retry_after,
                                    run->context->settings->webhook_retry_days);
  if (next < 0) {
    char reason[400];
    snprintf(reason, sizeof reason, "was not delivered in %d days (%d attempts; last: %.200s)",
             run->context->settings->webhook_retry_days, hook->attempts, attempt.detail);
    spool_give_up(run->store, claimed, name, reason);
    say(run, name, "moved to failed/ (%s)", reason);
    ++run->tally->failed;
    return;
  }
  hook->next_try = next;
  size_t length = 0;
  char* data = hook_file_format(*hook, &length);
  int err = hook_store_put_back(run->store, claimed, name, data, length);
  free(data);
  if (err != 0) {
    say(run, name, "not delivered (%s), and it cannot go back to hooks/: see the log",
        attempt.detail);
    ++run->tally->others;
    return;
  }
  say(run, name, "kept in hooks/ (%s; %d attempts; next try in %lld s)", attempt.detail,
      hook->attempts, next - now);
  ++run->tally->kept;
}

// Posts a claimed hook and settles it.
void send_claimed(HookResend* run, const char* claimed, const char* name, HookFile* hook) {
  WebhookAttempt attempt = webhook_post(*run->context->settings, hook->url, hook->format,
                                        hook->id, hook->body, hook->body_length,
                                        run->context->deadline_ms);
  char shown[kWebhookUrlSize];
  webhook_shown_url(hook->url, shown, sizeof shown);
  if (attempt.answer == WebhookAnswer::kDelivered) {
    char base[kSpoolFileNameSize];
    snprintf(base, sizeof base, "%.*s", static_cast<int>(strlen(name) - 4), name);
    (void)spool_take_out_sent(run->store, claimed, base);
    log_event(LOG_DEBUG, "resend: webhook {%s} delivered to {%s} (%s).", name, shown,
              attempt.detail);
    say(run, name, "delivered (%s)", attempt.detail);
    ++run->tally->delivered;
  } else if (attempt.answer == WebhookAnswer::kGone) {
    (void)os_remove_file(claimed);
    log_event(LOG_ERROR, "resend: webhook {%s}: {%s} answered 410 Gone; not sent again.", name,
              shown);
    say(run, name, "dropped (the receiver answered 410 Gone)");
    ++run->tally->gone;
  } else {
    log_event(LOG_ERROR, "resend: webhook {%s} to {%s} not delivered (%s).", name, shown,
              attempt.detail);
    after_failure(run, claimed, name, hook, attempt);
  }
}

// One entry of hooks/: left while not due, else claimed and posted.
void resend_one(HookResend* run, const char* name) {
  char* path = spool_path(run->store.hooks, name);
  char* claimed = spool_path(run->mine, name);
  size_t base_length = 0;
  const char* why = nullptr;
  size_t length = 0;
  char* data = nullptr;
  HookFile hook;
  int open_error = 0;
  if (!hook_file_name_parse(name, &base_length)) {
    // Not one this program wrote: left for whoever put it there.
    log_event(LOG_DEBUG, "resend: {%s} in hooks/ is no hook file; left alone.", name);
  } else if ((data = spool_read_file(path, &length, &why, &open_error)) == nullptr ||
             !hook_file_parse(data, length, &hook, &why)) {
    if (open_error != ENOENT) {  // gone: another run delivered it
      char reason[200];
      snprintf(reason, sizeof reason, "is not a readable hook file (%s)", why);
      spool_give_up(run->store, path, name, reason);
      say(run, name, "moved to failed/ (not a readable hook file: %s)", why);
      ++run->tally->failed;
    }
  } else if (hook.held[0] != '\0') {
    // Its message waits for the owner: it is posted when that is released.
    say(run, name, "held (its message is in %s/ as %s)",
        hook.held_in_queue ? "queue" : "quarantine", hook.held);
    ++(hook.held_in_queue ? run->tally->queued : run->tally->held);
  } else if (hook.next_try > spool_now_seconds()) {
    say(run, name, "waiting (next try in %lld s)", hook.next_try - spool_now_seconds());
    ++run->tally->waiting;
  } else {
    int err = spool_claim(run->mine, path, claimed);
    if (err != 0) {
      say(run, name, err == ENOENT ? "taken by another run" : "not tried (it cannot be claimed)");
      ++run->tally->others;
    } else {
      send_claimed(run, claimed, name, &hook);
    }
  }
  free(data);
  free(path);
  free(claimed);
}

// One entry of hooks/ for a release: a hook held for `held_for` (where
// run->release_queued says) is written back without the hold, its days
// counted from now, then claimed and posted.
void release_one(HookResend* run, const char* name, const char* held_for) {
  size_t base_length = 0;
  if (!hook_file_name_parse(name, &base_length) || base_length != strlen(held_for) ||
      memcmp(name, held_for, base_length) != 0) {
    return;
  }
  char* path = spool_path(run->store.hooks, name);
  char* claimed = spool_path(run->mine, name);
  const char* why = nullptr;
  size_t length = 0;
  int open_error = 0;
  HookFile hook;
  char* data = spool_read_file(path, &length, &why, &open_error);
  if (data != nullptr && hook_file_parse(data, length, &hook, &why) &&
      strcmp(hook.held, held_for) == 0 && hook.held_in_queue == run->release_queued) {
    hook.held[0] = '\0';
    hook.held_in_queue = false;
    hook.first_try = spool_now_seconds();
    hook.next_try = hook.first_try;
    size_t unheld_length = 0;
    char* unheld = hook_file_format(hook, &unheld_length);
    int err = hook_store_write(run->store, name, unheld, unheld_length, true);
    free(unheld);
    if (err == 0) err = spool_claim(run->mine, path, claimed);
    if (err != 0) {
      say(run, name, "not posted (it cannot be claimed); -resend tries it");
      ++run->tally->others;
    } else {
      send_claimed(run, claimed, name, &hook);
    }
  }
  free(data);
  free(path);
  free(claimed);
}

bool run_hooks(HookResend* run, const char* held_for, char* error, size_t error_size) {
  const char* which = run->store.work;
  int err = spool_ensure_folder(run->store.work);
  if (err == 0) {
    spool_new_name(run->mine_name, sizeof run->mine_name);
    run->mine = spool_path(run->store.work, run->mine_name);
    which = run->mine;
    err = os_make_directory(run->mine);
  }
  if (err != 0) {
    snprintf(error, error_size, "the spool folder cannot be used: %s (%d: %s)", which, err,
             strerror(err));
    log_event(LOG_ERROR, "resend: %s", error);
    return false;
  }
  NameList hooks;
  err = spool_list_sorted(run->store.hooks, &hooks);
  // No hooks/ yet: nothing was ever kept there.
  for (int i = 0; err == 0 && i < hooks.count; ++i) {
    if (held_for != nullptr) {
      release_one(run, hooks.names[i], held_for);
    } else {
      resend_one(run, hooks.names[i]);
    }
  }
  spool_free_names(&hooks);
  os_remove_directory(run->mine);
  if (err != 0 && err != ENOENT) {
    snprintf(error, error_size, "hooks/ %s cannot be listed (%d: %s)", run->store.hooks, err,
             strerror(err));
    log_event(LOG_ERROR, "resend: %s", error);
    return false;
  }
  return true;
}

// -resend's pass over hooks/ (held_for null), or the release of the hooks
// held for one message: in quarantine/, or in queue/ when `queued`.
bool hooks_pass(const DeliveryContext& context, const char* held_for, bool queued,
                ResendReportFn report, void* report_context, HookTally* tally, char* error,
                size_t error_size) {
  *tally = HookTally();
  const Settings& settings = *context.settings;
  if (settings.spool_folder == nullptr) return true;
  HookResend run = {};
  run.context = &context;
  run.report = report;
  run.report_context = report_context;
  run.tally = tally;
  run.release_queued = queued;
  spool_store_open(settings.spool_folder, context.ini_path, settings.spool_keep_sent,
                   settings.smtp_timeout, context.pause_at, &run.store);
  bool ok = os_is_directory(run.store.hooks);
  if (ok && !spool_owned_by_me(run.store, error, error_size)) {
    log_event(LOG_ERROR, "resend: %s.", error);
    ok = false;
  } else if (ok) {
    ok = run_hooks(&run, held_for, error, error_size);
  } else {
    ok = true;  // no hooks/: nothing ever waited there
  }
  free(run.mine);
  spool_store_close(&run.store);
  return ok;
}

}  // namespace

bool deliver_resend_hooks(const DeliveryContext& context, ResendReportFn report,
                          void* report_context, HookTally* tally, char* error,
                          size_t error_size) {
  return hooks_pass(context, nullptr, false, report, report_context, tally, error, error_size);
}

bool release_held_hooks(const DeliveryContext& context, const char* name,
                        ResendReportFn report, void* report_context, HookTally* tally,
                        char* error, size_t error_size) {
  return hooks_pass(context, name, false, report, report_context, tally, error, error_size);
}

bool release_queued_hooks(const DeliveryContext& context, const char* name,
                          ResendReportFn report, void* report_context, HookTally* tally,
                          char* error, size_t error_size) {
  return hooks_pass(context, name, true, report, report_context, tally, error, error_size);
}
