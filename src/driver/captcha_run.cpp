#include "driver/captcha_run.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/fatal.h"
#include "base/log.h"
#include "base/program.h"
#include "driver/check.h"

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
