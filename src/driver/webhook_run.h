#pragma once
// A CGI run's webhooks: the submission's event made from the form (the
// files by name, type and size), posted after the visitor's answer, or in
// place of the mail with send_mail false, and their words for the outcome
// line. Part of the driver: may use every layer below it.

#include <cstddef>

#include "compose/message.h"
#include "config/settings.h"
#include "deliver/deliver.h"
#include "deliver/webhook.h"
#include "form/form.h"
#include "form/request.h"

struct WebhookStep {
  bool on;  // the settings name webhooks
  const Settings* settings;
  const char* id;
  long long deadline_ms;
  const FormTable* form;         // as the message shows it
  const FormRequest* request;    // its files
  char subject[512];             // the message's Subject line, "" before it is built
  bool fired;
  WebhookReport report;
  char words[200];               // for the outcome line, "" before they fired
};

// The step of a run (on when the settings name a webhook).
void webhook_step_start(WebhookStep* step, const Settings& settings, const char* id,
                        long long deadline_ms, const FormTable& form, const FormRequest& request);

// Keeps the built message's subject for the chat formats' titles.
void webhook_keep_subject(WebhookStep* step, const Message& message);

// Posts the submission to the webhooks; `mail_outcome` is the JSON answer's
// word for the mail (null: no mail with send_mail false).
void webhook_step_fire(WebhookStep* step, const char* mail_outcome, const char* message_id);

// The message was kept in quarantine/ under the step's id: each webhook's
// request is written into hooks/, held until the owner releases it. The
// json event's mail outcome is "quarantined" (what the release does is not
// known yet) with the kept message's Message-ID. step->words then say how
// many were held ("" for none).
void webhook_step_hold(WebhookStep* step, const Message& message);

// The message waits in queue/ as `spool_name` to be scanned or judged:
// each webhook's request is held in hooks/ until -resend sends it (and
// dropped when -resend gives it up). The json event's mail outcome is
// "sent", which is true when they are posted.
void webhook_step_hold_queued(WebhookStep* step, const Message& message, const char* spool_name);

// With send_mail false: the webhooks as the submission's delivery. A kept
// one answers `spooled`, a delivered one `sent`. Without spool_folder or
// webhooks the delivery settings cannot be used.
DeliveryResult webhook_instead_of_mail(WebhookStep* step);
