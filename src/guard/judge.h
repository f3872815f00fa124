#pragma once
// What every judge of a submission is handed and what it gives: the
// verdict, the input and what the judges leave for the rest of the run.
// Shared by the list (guard/pipeline.h, whose error rule the judges
// follow) and the judges themselves. May use compose's envelope and
// message, config, form and base.

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
