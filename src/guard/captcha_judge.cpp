#include "guard/captcha_judge.h"

#include <cstdio>

#include "base/log.h"
#include "guard/altcha_judge.h"
#include "platform/os.h"

CaptchaOptions captcha_options(const Settings& settings) {
  CaptchaOptions options;
  options.provider = settings.captcha != nullptr ? captcha_provider(settings.captcha) : nullptr;
  options.secret_file = settings.captcha_secret_file;
  options.min_score = settings.captcha_min_score;
  options.timeout_seconds = settings.captcha_timeout;
  options.unreachable =
      settings.captcha_unreachable_send ? CaptchaUnreachable::kSend : CaptchaUnreachable::kRefuse;
  options.action = settings.captcha_action;
  options.verify_url = settings.captcha_verify_url;
  options.ca_file = settings.captcha_ca_file;
  options.allowed_hosts = settings.allowed_origins.items;
  options.allowed_host_count = settings.allowed_origins.count;
  return options;
}

// The check within the run's time: the service waits at most the smaller
// of captcha_timeout and the whole seconds left; with none left it is not
// asked.
static bool verify_in_time(CaptchaOptions options, const char* token, const char* remote_addr,
                           long long deadline_ms, CaptchaResult* result) {
  if (deadline_ms != 0) {
    long long left_seconds = (deadline_ms - os_monotonic_ms()) / 1000;
    if (left_seconds < 1) {
      *result = CaptchaResult();
      result->outcome = CaptchaOutcome::kUnreachable;
      snprintf(result->reason, sizeof result->reason, "the run's time is used up");
      return false;
    }
    if (left_seconds < options.timeout_seconds) {
      options.timeout_seconds = static_cast<int>(left_seconds);
    }
  }
  return captcha_verify(options, token, remote_addr, result);
}

CaptchaStep captcha_step(const Settings& settings, const FormTable& form, const char* remote_addr,
                         long long deadline_ms) {
  if (altcha_chosen(settings)) {
    // The proof of work is checked here: nothing to be unreachable, so
    // captcha_unreachable send never lets an unchecked post through.
    CaptchaOutcome outcome = altcha_step(settings, form);
    bool passed = outcome == CaptchaOutcome::kPassed;
    return CaptchaStep{true, passed, passed, outcome};
  }
  CaptchaStep step = {false, false, true, CaptchaOutcome::kPassed};
  CaptchaOptions options = captcha_options(settings);
  if (options.provider == nullptr) return step;
  step.checked = true;
  CaptchaResult result;
  const char* token = form_value(form, options.provider->token_field);
  step.passed = verify_in_time(options, token, remote_addr, deadline_ms, &result);
  step.lets_through = captcha_lets_through(result, options);
  step.outcome = result.outcome;
  const char* reason = result.reason;
  switch (result.outcome) {
    case CaptchaOutcome::kPassed:
      log_event(LOG_DEBUG, "captcha: %s passed.", options.provider->name);
      break;
    case CaptchaOutcome::kRefused:
      log_event(LOG_ERROR, "submission refused: the %s check failed: {%s}; nothing sent.",
                options.provider->name, reason);
      break;
    case CaptchaOutcome::kUnreachable:
      log_event(LOG_ERROR, "captcha: the %s service could not be asked: {%s}; %s.",
                options.provider->name, reason,
                step.lets_through ? "sending unchecked (captcha_unreachable send)"
                                  : "nothing sent");
      break;
    case CaptchaOutcome::kMisconfigured:
      log_event(LOG_ERROR, "captcha: the check cannot run: {%s}; nothing sent.", reason);
      break;
  }
  return step;
}

bool captcha_stop_outcome(const CaptchaStep& step, Outcome* outcome) {
  if (step.lets_through) return false;
  switch (step.outcome) {
    case CaptchaOutcome::kUnreachable: *outcome = Outcome::kCaptchaUnreachable; break;
    case CaptchaOutcome::kMisconfigured: *outcome = Outcome::kNotConfigured; break;
    case CaptchaOutcome::kPassed:
    case CaptchaOutcome::kRefused: *outcome = Outcome::kCaptchaFailed; break;
  }
  return true;
}
