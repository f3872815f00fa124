#include "driver/captcha_run.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/fatal.h"
#include "base/log.h"
#include "base/program.h"
#include "driver/check.h"
#include "guard/altcha_judge.h"
#include "platform/os.h"

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

// The proof-of-work CAPTCHA: the key file, then a challenge made, solved
// and checked here with the times each took. Nothing is asked outside.
static int altcha_check_section(const Settings& settings) {
  AltchaKeys keys;
  AltchaOptions options;
  char error[300];
  if (!altcha_load(settings, &keys, &options, error, sizeof error)) {
    return check_problem("%s", error);
  }
  int problems = 0;
  if (os_readable_by_others(settings.altcha_key_file)) {
    problems += check_problem("altcha_key_file {%s} is readable by others: chmod 600 it",
                              settings.altcha_key_file);
  } else {
    check_say("the key file {%s} is readable", settings.altcha_key_file);
  }
  long long now = os_unix_time_us() / 1000000;
  TextBuffer* challenge = text_buffer_new("");
  long long started = os_monotonic_ms();
  bool made = altcha_challenge(options, now, challenge);
  long long made_ms = os_monotonic_ms() - started;
  AltchaProof proof;
  started = os_monotonic_ms();
  bool solved = made && altcha_solve_and_verify(options, challenge->data, now, &proof);
  long long solved_ms = os_monotonic_ms() - started;
  if (solved) {
    check_say("a challenge took %lld ms to make; solving it here and checking the answer took "
              "%lld ms (altcha_cost %d)", made_ms, solved_ms, options.cost);
  } else {
    problems += check_problem("a challenge could not be made and solved: %s",
                              made ? proof.reason : "the random source failed");
  }
  text_buffer_free(challenge);
  memset(keys.secret, 0, sizeof keys.secret);
  memset(keys.key_secret, 0, sizeof keys.key_secret);
  return problems;
}

int captcha_check_section(const Settings& settings) {
  if (altcha_chosen(settings)) return altcha_check_section(settings);
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
