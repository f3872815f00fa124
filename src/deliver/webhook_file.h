#pragma once
// The hook files of the spool's hooks/ folder and when each is tried
// again. Pure functions over bytes and times; part of the delivery layer
// (deliver/webhook.h). A hook file is format 2 of the spool (spool_file.h):
//
//   QUILLON spool 2
//   destination: webhook 1
//   url: https://example.com/hook
//   format: json
//   webhook-id: 20260107T134501.123456Z_web1_4242_9f86d081884c7d65_1
//   first-try: 1767793501        (seconds since 1970, UTC)
//   next-try: 1767793561         (not tried before this time)
//   attempts: 1                  (requests that got no 2xx so far)
//   last: 503                    (what the last one got, one line)
//   held: quarantine NAME        (while its message waits in quarantine/)
//   held: queue NAME             (or in queue/, to be scanned or judged)
//
//   <the request body>
//
// Its name is "NAME_hookN.txt", NAME the submission's id.

#include <cstddef>

#include "deliver/spool_file.h"
#include "deliver/webhook_event.h"

constexpr size_t kWebhookUrlSize = 2048;
constexpr size_t kWebhookIdSize = kSpoolNameSize + 8;

struct HookFile {
  int webhook;  // N, from 1
  char url[kWebhookUrlSize];
  WebhookFormat format;
  char id[kWebhookIdSize];
  long long first_try;
  long long next_try;
  int attempts;
  char last[200];
  // NAME of the quarantined message it waits for, "" when it is not held:
  // -resend leaves a held hook alone, and it does not age.
  char held[kSpoolNameSize];
  bool held_in_queue;  // held for queue/NAME rather than quarantine/NAME
  const char* body;  // into the data parsed (or the caller's, to format)
  size_t body_length;
};

// The whole file. Caller frees it.
char* hook_file_format(const HookFile& hook, size_t* length);

// Reads a hook file from `data` (kept alive while out->body is used).
// False with a reason in *why for anything else.
bool hook_file_parse(const char* data, size_t length, HookFile* out, const char** why);

// The waits after the 1st, 2nd, ... failed attempt; the last repeats.
constexpr long long kWebhookWaits[] = {60, 300, 1800, 7200, 43200, 86400};

// When a hook that failed `attempts` times (the last at `now`) is tried
// again: the schedule's wait, or `retry_after` seconds when the receiver
// asked so (-1: it did not), never past first_try + retry_days; -1 when
// that time has come (the hook is given up).
long long webhook_next_try(int attempts, long long first_try, long long now,
                           long long retry_after, int retry_days);

// Retry-After's value (seconds, or an HTTP date) as seconds from `now`;
// -1 when it is neither (or null).
long long webhook_retry_after(const char* value, long long now);
