#pragma once
// The CAPTCHA around a CGI run: the form without the token, as the mail and
// the page see it, and the CAPTCHA lines of -check. (The check itself is a
// judge: guard/captcha_judge.h.) Driver level: may use guard, config, form
// and base.

#include "config/settings.h"
#include "form/form.h"
#include "guard/captcha_judge.h"

// With `captcha` set, the token is the guard's alone: the form as the mail
// (body and header lines, the sendall list), the confirmation mail and the
// page see it, without the entries of the provider's token field. A new
// table sharing the texts of `form` (release it with free(), never
// form_free); null when `captcha` is not set, so `form` itself serves.
FormTable* captcha_form_without_token(const Settings& settings, const FormTable& form);

// The CAPTCHA lines of the settings check (check_say / check_problem): a
// note without `captcha`; else whether the secret file is readable and
// whether the verification URL answers a dummy token with a well-formed
// answer (a refusal is expected). Returns the number of problems.
int captcha_check_section(const Settings& settings);
