#pragma once
// The judges of a submission, run as one ordered list: honeypot, origin,
// required fields, duplicate window (on the form alone), then, once the
// message and its envelope are built, the recipient allow-list, the rate
// limit, the content rules, the CAPTCHA, the virus scan and the spam
// engine. Every judge gives one Verdict, and the first that is not a pass
// ends the list. The driver calls the list in its two parts and settles it
// after the delivery. Everything above compose and below the driver: may
// use guard, compose's message, config, form, http, base and the
// platform's clock and sockets; reads no environment (the request comes as
// a value).
//
// Errors in src/guard: a judge never fails its caller. What it cannot judge
// (a state file it cannot use, a service it cannot ask) is logged and
// decided by the judge's own rule (the rate limit lets the post through,
// the CAPTCHA follows captcha_unreachable); a stop is a Verdict, logged
// once by the judge that gave it.

#include "guard/judge.h"

// The judges on the form alone, from the first: honeypot, origin, required
// fields, duplicate window.
Verdict guard_judge_form(const GuardInput& input, GuardRun* run);

// The judges that need the envelope (input.envelope set), after those of
// guard_judge_form passed: recipients, rate limit, the CAPTCHA, the virus
// scan.
Verdict guard_judge_message(const GuardInput& input, GuardRun* run);

// A post whose message could not be built (no From, To or Subject) still
// counts toward its sender's rate limit, or a sender could probe without
// one.
void guard_count_unbuilt(const GuardInput& input);

// After the delivery (`sent`: the server took it, `kept`: it waits in the
// spool): a remembered post that went neither way is forgotten, a sent
// run's time is kept, and a honeypot catch waits as long as a sent run
// from `run_started_ms` (os_monotonic_ms). run->missing stays the caller's
// to free (field_names_free).
void guard_settle(const GuardInput& input, GuardRun* run, bool sent, bool kept,
                  long long run_started_ms);
