#include "guard/pipeline.h"

#include <cstdio>

#include "guard/content_rules.h"
#include "guard/guards.h"
#include "guard/state_store.h"
#include "guard/spam_judge.h"
#include "guard/rate.h"
#include "guard/shared_state.h"
#include "guard/state_keep.h"
#include "guard/virus_judge.h"

static const Verdict kPass = {VerdictKind::kPass, Outcome::kSent, nullptr};

static Verdict refused(Outcome outcome, const char* line) {
  return Verdict{VerdictKind::kRefused, outcome, line};
}

static Verdict dropped(const char* line) {
  return Verdict{VerdictKind::kDropped, Outcome::kSent, line};
}

static Verdict honeypot_judge(const GuardInput& input, GuardRun* run) {
  if (!honeypot_filled(*input.settings, *input.form)) return kPass;
  run->caught = true;
  return dropped("dropped by the honeypot (answered as sent)");
}

static Verdict origin_judge(const GuardInput& input, GuardRun*) {
  if (!origin_refused(*input.settings, *input.request)) return kPass;
  return refused(Outcome::kRefused, "refused by the origin guard");
}

static Verdict required_judge(const GuardInput& input, GuardRun* run) {
  if (!fields_missing(*input.settings, *input.form, &run->missing)) return kPass;
  return refused(Outcome::kMissing, "not sent, required fields missing");
}

static Verdict duplicate_judge(const GuardInput& input, GuardRun* run) {
  if (!duplicate_seen(*input.settings, *input.form, input.upload, input.request->remote_addr,
                      &run->duplicate)) {
    return kPass;
  }
  return dropped("not sent again, a repeat within duplicate_window (answered as sent)");
}

static Verdict recipients_judge(const GuardInput& input, GuardRun*) {
  if (recipients_allowed(*input.settings, *input.envelope)) return kPass;
  return refused(Outcome::kRefused, "refused by the recipient allow-list");
}

// Only a submission that passed everything before counts towards its
// sender's rate.
static Verdict rate_judge(const GuardInput& input, GuardRun* run) {
  if (state_rate_allows(*input.settings, input.request->remote_addr)) {
    run->rate_counted = !shared_state_unavailable();
    return kPass;
  }
  return refused(Outcome::kRateLimited, "refused by the rate limit");
}

// A post the content rules or the engine call spam: kept for the owner's
// review, answered as sent, or refused with a copy kept all the same.
Verdict spam_verdict(bool refuse, const char* reasons) {
  Verdict verdict = refuse ? refused(Outcome::kSpam, "refused as spam")
                           : Verdict{VerdictKind::kQuarantined, Outcome::kSent,
                                     "quarantined as spam"};
  verdict.keep = refuse;
  verdict.mark = "spam";
  snprintf(verdict.reasons, sizeof verdict.reasons, "%s", reasons);
  return verdict;
}

static Verdict content_judge(const GuardInput& input, GuardRun*) {
  char reasons[sizeof(Verdict::reasons)];
  if (!content_rules_catch(*input.settings, *input.form, reasons, sizeof reasons)) return kPass;
  return spam_verdict(input.settings->spam_refuse, reasons);
}

// The CAPTCHA comes last of today's judges: the cheap ones cost no
// outbound call.
static Verdict captcha_judge(const GuardInput& input, GuardRun* run) {
  run->captcha = captcha_step(*input.settings, *input.form, input.request->remote_addr,
                              input.deadline_ms);
  Outcome outcome;
  if (!captcha_stop_outcome(run->captcha, &outcome)) return kPass;
  switch (outcome) {
    case Outcome::kCaptchaFailed: return refused(outcome, "refused by the CAPTCHA check");
    case Outcome::kCaptchaUnreachable:
      return refused(outcome, "not sent, the CAPTCHA service could not be asked");
    default: return refused(outcome, "not sent, the CAPTCHA check cannot run");
  }
}

struct JudgeEntry {
  bool needs_envelope;
  Verdict (*judge)(const GuardInput& input, GuardRun* run);
};

// The one order of the judges. The places of those to come are fixed: the
// content rules after the rate limit, the proof of work beside the CAPTCHA,
// then the virus scan, and the spam engine (so that an infected post is
// called so, not spam); last, whether a shared state that could not be
// used keeps the message for -resend to judge.
static const JudgeEntry kJudges[] = {
    {false, honeypot_judge},
    {false, origin_judge},
    {false, required_judge},
    {false, duplicate_judge},
    {true, recipients_judge},
    {true, rate_judge},
    {true, content_judge},
    {true, captcha_judge},
    // the proof of work
    {true, virus_judge},
    {true, spam_engine_judge},
    {true, state_keep_judge},
};
constexpr int kJudgeCount = static_cast<int>(sizeof kJudges / sizeof kJudges[0]);

// Runs the judges from run->next while they need the envelope no more
// than `with_envelope` says; the first stop ends the list.
static Verdict judge_from(const GuardInput& input, GuardRun* run, bool with_envelope) {
  for (; run->next < kJudgeCount; ++run->next) {
    const JudgeEntry& entry = kJudges[run->next];
    if (entry.needs_envelope && !with_envelope) break;
    Verdict verdict = entry.judge(input, run);
    if (verdict.kind != VerdictKind::kPass) {
      run->next = kJudgeCount;
      // A message kept for the virus scan waits for the shared state too.
      if (verdict.kind == VerdictKind::kDeferred) {
        run->state_pending = state_keep_pending(input, run);
      }
      return verdict;
    }
  }
  return kPass;
}

Verdict guard_judge_form(const GuardInput& input, GuardRun* run) {
  return judge_from(input, run, false);
}

Verdict guard_judge_message(const GuardInput& input, GuardRun* run) {
  return judge_from(input, run, true);
}

void guard_count_unbuilt(const GuardInput& input) {
  (void)state_rate_allows(*input.settings, input.request->remote_addr);
}

void guard_settle(const GuardInput& input, GuardRun* run, bool sent, bool kept,
                  long long run_started_ms) {
  const Settings& settings = *input.settings;
  duplicate_settle(&run->duplicate, settings, sent || kept);
  if (sent) sent_run_note(settings, run_started_ms);
  // A honeypot catch takes as long as a sent run.
  if (run->caught) sent_run_wait(settings, run_started_ms);
}
