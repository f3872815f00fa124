#pragma once
// The CAPTCHA judge of a submission: the settings turned into the check's
// options, the check made with the token the form carries within the run's
// time, its one log line, and the outcome of a submission it stopped. May
// use guard/captcha.h, config, form, base and the platform's clock.

#include "base/outcome.h"
#include "guard/captcha.h"
#include "config/settings.h"
#include "form/form.h"

struct CaptchaStep {
  bool checked;       // `captcha` is set, so the check ran
  bool passed;        // the service said yes: a confirmation mail may go
  bool lets_through;  // the submission may be sent (passed, or unreachable with "send")
  CaptchaOutcome outcome;
};

// The check's options from the settings; they point into `settings`.
CaptchaOptions captcha_options(const Settings& settings);

// Runs the check when `captcha` is set (else lets everything through
// unchecked) for the visitor at `remote_addr` (may be null) and logs one
// error line for anything but a pass: the reason with the provider's error
// codes, never the token or the secret. With `deadline_ms` (absolute
// os_monotonic_ms(); 0: none) the service is given at most the whole
// seconds left; with less than one left it is not asked and counts as
// unreachable.
CaptchaStep captcha_step(const Settings& settings, const FormTable& form, const char* remote_addr,
                         long long deadline_ms);

// The outcome of a submission that the step stopped: kCaptchaFailed for a
// refusal, kCaptchaUnreachable when the service could not be asked,
// kNotConfigured when the check could not run. False when it did not stop it.
bool captcha_stop_outcome(const CaptchaStep& step, Outcome* outcome);
