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

#include "base/outcome.h"
#include "base/field_names.h"
#include "base/request.h"
#include "base/text.h"
#include "compose/envelope.h"
#include "compose/message.h"
#include "config/settings.h"
#include "form/form.h"
#include "form/request.h"
#include "guard/captcha_judge.h"
#include "guard/post_memory.h"

enum class VerdictKind {
  kPass,
  kRefused,      // not sent; answered with `outcome`
  kDropped,      // not sent, answered as sent (the honeypot, a duplicate)
  kQuarantined,  // kept aside for review, answered as sent
  kDeferred,     // kept in the spool for -resend to judge again
};

struct Verdict {
  VerdictKind kind;
  Outcome outcome;   // the answer's outcome (kSent for a pass)
  const char* line;  // the outcome line's words for a stop; null for a pass
  // A verdict about what the message says or carries (the content rules,
  // the spam engine, the virus scanner) keeps the message in quarantine/
  // for the owner (kQuarantined, and kRefused with `keep`) and says why;
  // a kDeferred one names the judge -resend must run again.
  bool keep = false;           // kRefused: keep a copy in quarantine/ as well
  const char* mark = nullptr;  // "spam", "infected", "unscanned", "shared_state"; or null
  char reasons[256] = "";      // "7 links, limit 2"; "rspamd 14.2, BAYES_SPAM"
  double score = 0;            // the engine's score, when has_score
  bool has_score = false;
};

// What the judges are handed.
struct GuardInput {
  const Settings* settings;
  const FormTable* form;     // the whole form, the CAPTCHA token included
  const Request* request;
  const Envelope* envelope;  // null until the message is built
  long long deadline_ms;     // the run's end, absolute os_monotonic_ms(); 0: none
  const FormRequest* upload; // the request's files (null: none); their data
                             // only until the message is built, or until
                             // the judges ran when virus_scan is set
  const Message* message;    // the message as it will be sent; null until built
};

// What the judges leave for the rest of the run. Zero-initialise.
struct GuardRun {
  int next;                // the next judge of the list
  FieldNames missing;        // the missing names, when refused so
  DuplicatePost duplicate; // a post remembered by the duplicate window
  CaptchaStep captcha;     // the CAPTCHA's answer: a confirmation mail needs a pass
  bool caught;             // the honeypot caught it: answer no sooner than a sent run
  // The spam engine's word on a message it let through: its score for the
  // outcome line ("rspamd 2.10"), and with spam_tag a verdict whose score
  // and reasons the delivered message is tagged with.
  char spam_note[48];
  bool spam_tagged;
  Verdict spam_tag;
  // What -resend judges a message by when the shared state could not be
  // used (guard/state_keep.h): the client address while the rate limit has
  // not counted it ("": no rate judging), the duplicate key's digest while
  // the window has not recorded it ("": none).
  bool rate_counted;
  bool state_pending;      // kept unscanned, and to be judged by the shared state too
  char state_client[65];
  char state_duplicate[33];
};

// The verdict for spam: quarantined (answered as sent), or with `refuse`
// refused with the outcome `spam` and a copy kept; marked "spam", with
// `reasons`.
Verdict spam_verdict(bool refuse, const char* reasons);

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
