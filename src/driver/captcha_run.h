#pragma once
// The CAPTCHA step of a CGI run: the settings turned into the guard's
// options, the check made with the token the form carries, its one log
// line, and the outcome of a submission it stopped. Driver level: may use
// compose (the guard itself), config, form and base.

#include "guard/captcha.h"
#include "config/settings.h"
#include "form/form.h"
#include "base/outcome.h"

struct CaptchaStep {
  bool checked;       // `captcha` is set, so the check ran
  bool passed;        // the service said yes: a confirmation mail may go
  bool lets_through;  // the submission may be sent (passed, or unreachable with "send")
  CaptchaOutcome outcome;
};

// The guard's options from the settings; they point into `settings`.
CaptchaOptions captcha_options(const Settings& settings);

// Runs the check when `captcha` is set (else lets everything through
// unchecked) and logs one error line for anything but a pass: the reason
// with the provider's error codes, never the token or the secret.
CaptchaStep captcha_step(const Settings& settings, const FormTable& form);

// With `captcha` set, the token is the guard's alone: the form as the mail
// (body and header lines, the sendall list), the confirmation mail and the
// page see it, without the entries of the provider's token field. A new
// table sharing the texts of `form` (release it with free(), never
// form_free); null when `captcha` is not set, so `form` itself serves.
FormTable* captcha_form_without_token(const Settings& settings, const FormTable& form);

// The outcome of a submission that the step stopped: kCaptchaFailed for a
// refusal, kCaptchaUnreachable when the service could not be asked,
// kNotConfigured when the check could not run. False when it did not stop it.
bool captcha_stop_outcome(const CaptchaStep& step, Outcome* outcome);

// The CAPTCHA lines of the settings check (check_say / check_problem): a
// note without `captcha`; else whether the secret file is readable and
// whether the verification URL answers a dummy token with a well-formed
// answer (a refusal is expected). Returns the number of problems.
int captcha_check_section(const Settings& settings);
