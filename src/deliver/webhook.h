#pragma once
// Webhooks: a submission posted as an HTTP request to each URL of the
// `webhook` lines, after the mail or instead of it, with the same promise
// as the mail: what a receiver did not take waits in the spool's hooks/
// folder and -resend tries it again with growing waits. Part of the
// delivery layer (see deliver.h for what it may use and its error rule);
// its parts: webhook_format.h (the bodies), webhook_sign.h (the signature),
// webhook_file.h (the hook files and the retry schedule), webhook_post.h
// (one request), webhook.cpp (a submission's webhooks) and
// webhook_resend.cpp (-resend of hooks/).

#include <cstddef>

#include "deliver/deliver.h"
#include "deliver/webhook_event.h"

// Posts the submission to each webhook, each request within webhook_timeout
// and all by context.deadline_ms; with spool_folder, each is written to
// hooks/ before its request and taken out once it is delivered (or gone).
// One error line for each that is not delivered.
WebhookReport deliver_webhooks(const DeliveryContext& context, const WebhookEvent& event);

// Writes each webhook's request of a submission whose message was kept in
// quarantine/ as `held_for` into hooks/, held for it: nothing is posted
// until the owner releases the message; with `in_queue`, the message waits
// in queue/ as `held_for` and -resend posts them once it sends it. Returns
// how many were written (0 without spool_folder; a failure is logged).
int hold_webhooks(const DeliveryContext& context, const WebhookEvent& event,
                  const char* held_for, bool in_queue);

// "2 delivered, 1 kept for retry" (only the counts that are not 0).
void webhook_report_words(const WebhookReport& report, char* out, size_t size);

// Counts of a -resend of hooks/.
struct HookTally {
  int delivered;
  int kept;      // tried now and back in hooks/
  int waiting;   // not due yet
  int gone;      // answered 410
  int failed;    // moved to failed/
  int others;    // in the hands of another run, or not movable
  int held;      // held while their message is in quarantine/
  int queued;    // held while their message waits in queue/ to be scanned or judged
};

// Tries every hook file of hooks/ that is due, oldest first. Returns false
// with the reason in `error` when the spool cannot be used (no spool_folder
// is no error: nothing to do).
bool deliver_resend_hooks(const DeliveryContext& context, ResendReportFn report,
                          void* report_context, HookTally* tally, char* error,
                          size_t error_size);

// -quarantine release NAME: the hooks held for quarantine/NAME are held no
// more and posted as -resend posts them (a failed one waits for its next
// try, counted from now); release_queued_hooks the same for the hooks held
// for queue/NAME, once -resend sent it. False with `error` when the spool cannot be used.
bool release_held_hooks(const DeliveryContext& context, const char* name,
                        ResendReportFn report, void* report_context, HookTally* tally,
                        char* error, size_t error_size);
bool release_queued_hooks(const DeliveryContext& context, const char* name,
                          ResendReportFn report, void* report_context, HookTally* tally,
                          char* error, size_t error_size);

// Webhook `index` (from 0) of the settings: its URL and format.
void webhook_target(const Settings& settings, int index, char* url, size_t url_size,
                    WebhookFormat* format);

// The URL as the log shows it: scheme and host only, the rest (maybe a
// chat service's token) as "/...".
void webhook_shown_url(const char* url, char* out, size_t size);

// What -check's test request to one webhook got.
struct WebhookProbe {
  bool delivered;                    // a 2xx answer
  bool sent;                         // the request was made
  int status;                        // 0 without an answer
  long long elapsed_ms;
  char detail[kDeliveryTextSize];    // "HTTP 200", or what failed
};

// Posts -check's test to webhook `index`: a signed {"type": "check"} event
// for json, a short test message for the chat formats.
WebhookProbe webhook_probe(const Settings& settings, int index);

// -webhook resend ID: posts again each webhook of submission `id` whose
// request was delivered and kept in the spool's sent/ (spool_keep_sent),
// with a fresh time and signature. `report` gets a line per webhook.
// Returns the number found (0: none, nothing posted), the delivered ones
// in *delivered; -1 with `error` when the spool cannot be used.
int webhook_replay(const DeliveryContext& context, const char* id, ResendReportFn report,
                   void* report_context, int* delivered, char* error, size_t error_size);