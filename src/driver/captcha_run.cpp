#include "driver/captcha_run.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/fatal.h"
#include "base/log.h"
#include "base/program.h"
#include "driver/check.h"

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

CaptchaStep captcha_step(const Settings& settings, const FormTable& form) {
  CaptchaStep step = {false, false, true, CaptchaOutcome::kPassed};
  CaptchaOptions options = captcha_options(settings);
  if (options.provider == nullptr) return step;
  step.checked = true;
  CaptchaResult result;
  const char* token = form_value(form, options.provider->token_field);
  step.passed = captcha_verify(options, token, environment_value("REMOTE_ADDR"), &result);
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

FormTable* captcha_form_without_token(const Settings& settings, const FormTable& form) {
  const CaptchaProvider* provider =
      settings.captcha != nullptr ? captcha_provider(settings.captcha) : nullptr;
  if (provider == nullptr) return nullptr;
  // Zeroed: an empty look-up index, built on the first look-up.
  FormTable* view = static_cast<FormTable*>(calloc(1, sizeof(FormTable)));
  if (view == nullptr) fatal_reply(kOutOfMemory);
  for (int i = 0; i < form.count; ++i) {
    if (form.names[i] != nullptr && strcmp(form.names[i], provider->token_field) == 0) continue;
    view->names[view->count] = form.names[i];
    view->values[view->count] = form.values[i];
    ++view->count;
  }
  return view;
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

int captcha_check_section(const Settings& settings) {
  CaptchaOptions options = captcha_options(settings);
  if (options.provider == nullptr) {
    check_say("captcha is not set: no check made");
    return 0;
  }
  int problems = 0;
  CaptchaSecret secret;
  char error[kCaptchaReasonSize];
  if (captcha_read_secret(options.secret_file, &secret, error, sizeof error)) {
    check_say("the secret file {%s} is readable", options.secret_file);
  } else {
    problems += check_problem("%s", error);
  }
  memset(secret.text, 0, sizeof secret.text);
  CaptchaResult result;
  (void)captcha_verify(options, "quillon-check-dummy-token", nullptr, &result);
  if (result.outcome == CaptchaOutcome::kRefused || result.outcome == CaptchaOutcome::kPassed) {
    check_say("the %s verification service answers (a dummy token, so a refusal is expected)",
              options.provider->name);
  } else if (result.outcome == CaptchaOutcome::kUnreachable) {
    problems += check_problem("the verification service could not be asked: %s",
                              result.reason);
  } else if (problems == 0) {
    problems += check_problem("%s", result.reason);
  }
  return problems;
}

int check_captcha(CheckRun* run) { return captcha_check_section(run->settings); }
