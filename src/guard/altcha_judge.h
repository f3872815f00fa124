#pragma once
// The proof-of-work CAPTCHA as the CAPTCHA judge (`captcha altcha`): the
// settings and the key file turned into the check's options, the challenge
// answer of a GET, and the check of a submission with its replay memory in
// the rate state (each challenge is accepted once until it expires). May use
// guard/altcha.h, guard/captcha.h, guard/rate.h, config, form, base and
// the platform's clock; it asks no one outside.

#include "base/text.h"
#include "config/settings.h"
#include "form/form.h"
#include "guard/altcha.h"
#include "guard/captcha.h"

// Whether the settings choose the proof-of-work CAPTCHA.
bool altcha_chosen(const Settings& settings);

// The secrets of altcha_key_file: line 1 the HMAC secret, line 2 (optional)
// the key-signature secret, else derived from line 1.
struct AltchaKeys {
  char secret[256] = {};
  char key_secret[256] = {};
};

// Reads the key file into `keys` and points `options` at them and at the
// settings; false with a reason (never a secret) in `error` otherwise.
bool altcha_load(const Settings& settings, AltchaKeys* keys, AltchaOptions* options, char* error,
                 size_t error_size);

// The challenge answer's JSON into `out`; false (an error line logged) when
// the key file or the random source failed.
bool altcha_challenge_answer(const Settings& settings, TextBuffer* out);

// The check of a submission, logged as the other providers' are: kPassed,
// kRefused (also a challenge used before), kUnreachable (the replay memory
// cannot be used) or kMisconfigured (no key file).
CaptchaOutcome altcha_step(const Settings& settings, const FormTable& form);
