#pragma once
// shared_state_unreachable keep: a run whose shared state could not be used
// keeps its message in the spool (kDeferred, mark "shared_state") with what
// the rate limit and the duplicate window still have to judge it by, and
// -resend judges it against the database before sending it. Part of
// src/guard (its error rule: guard/pipeline.h); may use guard, config and
// base.

#include <cstddef>

#include "config/settings.h"
#include "guard/judge.h"

// Whether a message the run keeps in the spool anyway (its files not
// scanned) must also wait for the shared state's judges: then the facts
// are in run->state_client and run->state_duplicate, as the judge below
// fills them, and nothing is logged.
bool state_keep_pending(const GuardInput& input, GuardRun* run);

// The judge of the pipeline's last slot: a pass unless the settings say
// `keep`, the shared state failed this run and a spool can hold the
// message (without one: an error line, and the message is sent). Fills
// run->state_client and run->state_duplicate.
Verdict state_keep_judge(const GuardInput& input, GuardRun* run);

// -resend's judging of a kept message: the rate limit for `client` (null:
// not judged) and the duplicate window for the digest `duplicate` (null or
// "": not judged). 1 let through (counted and recorded), 0 refused (`detail`
// says "rate-limited" or "duplicate", one error line), -1 the database
// could not be used (`detail` says so).
int state_keep_rejudge(const Settings& settings, const char* client, const char* duplicate,
                       char* detail, size_t detail_size);
