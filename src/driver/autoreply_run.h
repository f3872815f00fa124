#pragma once
// The confirmation mail of a CGI run: whether this submission may have one
// (a passed CAPTCHA, one address, the window per address), its message,
// and the log line of what became of it. Driver level: may use guard,
// compose, deliver, config, form and base.

#include "compose/envelope.h"
#include "compose/message.h"
#include "config/settings.h"
#include "deliver/deliver.h"
#include "form/form.h"
#include "guard/captcha_judge.h"

// Logs one error line when autoreply_to_variable is set without `captcha`
// (then no confirmation is ever sent); called once by every run.
void autoreply_check_settings(const Settings& settings);

// The confirmation of this submission, into `envelope` and `message`
// (the caller frees both) and `follow_up`, which points into them. False
// when none goes: not asked for, no passed CAPTCHA, or why not logged.
bool autoreply_prepare(const Settings& settings, const FormTable& form, const CaptchaStep& step,
                       const char* main_from, Envelope* envelope, Message* message,
                       DeliveryFollowUp* follow_up);

// The log line of what became of a prepared confirmation; it changes
// nothing else.
void autoreply_report(const DeliveryFollowUp& follow_up);
