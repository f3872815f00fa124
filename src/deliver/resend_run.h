#pragma once
// The state of one -resend of queue/ shared by its files: resend.cpp
// claims and sends; resend_held.cpp checks a message held for a judge
// (its virus scan, the shared state's limits) before it may go. Internal
// to the delivery layer (deliver/deliver.h's error rule).

#include <cstddef>

#include "base/log.h"
#include "deliver/attempt.h"
#include "deliver/deliver.h"
#include "deliver/mail_options.h"
#include "deliver/spool_file.h"
#include "deliver/spool_store.h"

struct Resend {
  const DeliveryContext* delivery;
  SpoolStore store;
  const Settings* settings;
  MessageScanFn scan;
  MessageJudgeFn judge;
  DeliveryOptions options;
  char* mine;  // work/<this run>
  char mine_name[kSpoolNameSize];
  ResendReportFn report;
  void* context;
  ResendTally* tally;
  AttemptEnd stop;        // kSent while messages are still tried
  bool timed_out_before;  // the last message tried ran out of time
};

// Reports one file's outcome to the caller.
void say(Resend* run, const char* name, const char* format, ...) QUILLON_PRINTF(3, 4);

// The whole of a claimed file as a spool message; false (with `message`
// holding nothing to free) when it cannot be read or parsed.
bool load_whole(const char* claimed, SpoolMessage* message);

// A message marked "scan: pending", scanned. Returns whether it may be
// sent; when not, it went to quarantine/ or back to the queue (its
// attempts not counted), said and tallied.
bool scanned_clean(Resend* run, const char* claimed, const char* name, const SpoolName& parsed,
                   const char* base, const SpoolMessage& message);

// The webhooks held in hooks/ for queue/`base`: posted once -resend sent
// the message, dropped once it gave it up (failed/ or quarantine/).
void release_queue_hooks(Resend* run, const char* base);
void drop_queue_hooks(Resend* run, const char* name, size_t base_length);

// A held message that cannot be read whole goes back to the queue, its
// attempts not counted, for a later run.
void put_back_unread(Resend* run, const char* claimed, const char* name,
                     const SpoolName& parsed);

// A message marked "judge: shared_state", judged. Returns whether it may
// be sent (its mark then taken off its file); when not, it went to failed/
// or back to the queue (its attempts not counted), said and tallied.
bool judged_fit(Resend* run, const char* claimed, const char* name, const SpoolName& parsed,
                const SpoolMessage& message);
