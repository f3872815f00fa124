#include "guard/spam_judge.h"

#include <cstdio>

#include "base/hostname.h"
#include "base/log.h"
#include "compose/spam_tag.h"
#include "guard/spam_engine.h"

static const char* engine_name(const Settings& settings) {
  return settings.spam_engine == kSpamEngineRspamd ? "rspamd" : "spamd";
}

// An engine that could not be asked, by spam_unreachable.
static Verdict unreachable(const Settings& settings, const EngineResult& result) {
  if (!settings.spam_unreachable_quarantine) {
    log_event(LOG_ERROR, "spam: %s; the message is sent unchecked (spam_unreachable send).",
              result.error);
    return Verdict{VerdictKind::kPass, Outcome::kSent, nullptr};
  }
  log_event(LOG_ERROR,
            "spam: %s; the message is kept in quarantine (spam_unreachable "
            "quarantine).",
            result.error);
  Verdict verdict = {VerdictKind::kQuarantined, Outcome::kSent,
                     "quarantined, the spam engine could not be asked"};
  verdict.mark = "unchecked";
  snprintf(verdict.reasons, sizeof verdict.reasons, "%s not reached", engine_name(settings));
  return verdict;
}

Verdict spam_engine_judge(const GuardInput& input, GuardRun* run) {
  const Settings& settings = *input.settings;
  const Verdict pass = {VerdictKind::kPass, Outcome::kSent, nullptr};
  if (settings.spam_engine == kSpamEngineNone || settings.spam_engine_address == nullptr ||
      input.message == nullptr) {
    return pass;
  }
  const Envelope& envelope = *input.envelope;
  TextBuffer* bytes = text_buffer_new("");
  message_wire_append(*input.message, settings_line_ending(settings), bytes);
  char helo[kMaxHostName + 1];
  hello_name_choose(settings.hello_name, settings.standard_headers,
                    envelope.sender_from_settings ? envelope.from : nullptr, helo, sizeof helo);
  EngineEnvelope sender = {
      input.request->remote_addr, helo, envelope.from, {envelope.to, envelope.cc, envelope.bcc}};
  EngineResult result;
  spam_engine_check(settings, bytes->data, static_cast<size_t>(bytes->length), sender,
                    input.deadline_ms, &result);
  text_buffer_free(bytes);
  if (!result.reached) return unreachable(settings, result);
  char reasons[sizeof(Verdict::reasons)];
  spam_engine_reasons(settings, result, reasons, sizeof reasons);
  log_event(LOG_DEBUG, "spam: %s (action {%s}), %lld ms.", reasons, result.action,
            result.elapsed_ms);
  snprintf(run->spam_note, sizeof run->spam_note, "%s %.2f", engine_name(settings), result.score);
  EngineDecision decision = spam_engine_decide(settings, result);
  if (decision == EngineDecision::kPass) return pass;
  Verdict verdict = spam_verdict(decision == EngineDecision::kRefuse, reasons);
  verdict.score = result.score;
  verdict.has_score = true;
  if (decision != EngineDecision::kTag) return verdict;
  run->spam_tag = verdict;
  run->spam_tagged = true;
  return pass;
}
