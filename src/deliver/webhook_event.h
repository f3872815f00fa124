#pragma once
// The values of the webhooks: a submission as a webhook tells it, and how
// each webhook ended. Shared by the webhooks' parts (webhook.h and the
// files it names); may use deliver.h's values and src/base.

#include "deliver/deliver.h"

// How a webhook's body is made (the words of kWebhookFormats, in order).
enum class WebhookFormat { kJson, kSlack, kMattermost, kDiscord, kNtfy, kTeams };

// One form entry; a name given more than once is one member with a list.
struct WebhookField {
  const char* name;
  const char* value;
};

// One uploaded file (its contents never go to a webhook).
struct WebhookFile {
  const char* field;
  const char* name;
  const char* type;
  long long size;
};

// What a webhook tells of a submission. Texts are the form's bytes, made
// valid UTF-8 where they are not.
struct WebhookEvent {
  const char* id;            // the submission id
  long long time;            // seconds since 1970, UTC
  const char* form;          // the settings file's name without its folder and ".ini"
  const char* subject;       // the message's subject, or null
  const WebhookField* fields;
  int field_count;
  const WebhookFile* files;
  int file_count;
  const char* mail_outcome;  // the JSON answer's word for the mail; null: no mail sent
  const char* message_id;    // the mail's Message-ID, "" or null for none
};

// How one webhook of a submission ended.
enum class WebhookEnd {
  kDelivered,  // a 2xx answer
  kKept,       // not delivered; in hooks/ for -resend
  kGone,       // 410: the receiver wants no more of it
  kFailed,     // not delivered and not kept (no spool, or the copy could not be made)
};

struct WebhookResult {
  WebhookEnd end;
  int status;                         // the answer's status, 0 for none
  long long elapsed_ms;
  char detail[kDeliveryTextSize];     // what failed, "" for nothing
};

// The webhooks of one submission, in the order of the settings file.
struct WebhookReport {
  int count;
  WebhookResult results[kMaxWebhooks];
};
