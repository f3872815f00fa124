#include "guard/spam_engine.h"

#include <cstdio>
#include <cstring>

#include "platform/os.h"

const char kGtube[] = "XJS*C4JDBQADN1.NSBN3*2IDNEN*GTUBE-STANDARD-ANTI-UBE-TEST-EMAIL*C.34X";

bool spam_engine_check(const Settings& settings, const char* message, size_t length,
                       const EngineEnvelope& envelope, long long deadline_ms,
                       EngineResult* result) {
  *result = EngineResult();
  long long started = os_monotonic_ms();
  bool rspamd = settings.spam_engine == kSpamEngineRspamd;
  result->reached = rspamd ? rspamd_check(settings, message, length, envelope, deadline_ms, result)
                           : spamd_check(settings, message, length, envelope, deadline_ms, result);
  result->elapsed_ms = os_monotonic_ms() - started;
  return result->reached;
}

static bool action_is(const EngineResult& result, const char* action) {
  return strcmp(result.action, action) == 0;
}

EngineDecision spam_engine_decide(const Settings& settings, const EngineResult& result) {
  bool rspamd = settings.spam_engine == kSpamEngineRspamd;
  // A score the owner set replaces the engine's own judgement.
  bool refuse = settings.spam_reject_score >= 0 ? result.score >= settings.spam_reject_score
                                                : rspamd && action_is(result, "reject");
  if (refuse) return EngineDecision::kRefuse;
  if (settings.spam_quarantine_score >= 0) {
    return result.score >= settings.spam_quarantine_score ? EngineDecision::kQuarantine
                                                          : EngineDecision::kPass;
  }
  if (!rspamd) return result.spam ? EngineDecision::kQuarantine : EngineDecision::kPass;
  bool marked = action_is(result, "add header") || action_is(result, "rewrite subject");
  if (marked && settings.spam_tag) return EngineDecision::kTag;
  // "soft reject" asks a mail server to try later, which a form cannot.
  if (marked || action_is(result, "soft reject") || action_is(result, "reject")) {
    return EngineDecision::kQuarantine;
  }
  return EngineDecision::kPass;
}

void spam_engine_reasons(const Settings& settings, const EngineResult& result, char* out,
                         size_t size) {
  snprintf(out, size, "%s %.2f%s%s", settings.spam_engine == kSpamEngineRspamd ? "rspamd" : "spamd",
           result.score, result.symbols[0] != '\0' ? ", " : "", result.symbols);
}

bool spam_engine_learn(const Settings& settings, const char* message, size_t length, bool spam,
                       char* error, size_t error_size) {
  if (settings.spam_engine == kSpamEngineRspamd) {
    return rspamd_learn(settings, message, length, spam, error, error_size);
  }
  if (settings.spam_engine == kSpamEngineSpamd) {
    return spamd_learn(settings, message, length, spam, error, error_size);
  }
  snprintf(error, error_size, "no spam_engine to teach");
  return false;
}
