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

// A finished message as the delivery layer takes it; it points into
// `envelope` and `message`.
SubmittedMessage submitted_message(const Envelope& envelope, const Message& message);

// The confirmation of this submission, into `envelope` and `message`
// (the caller frees both) and `confirmation`, which points into them. False
// when none goes: not asked for, no passed CAPTCHA, or why not logged.
bool autoreply_prepare(const Settings& settings, const FormTable& form, const CaptchaStep& step,
                       const char* main_from, Envelope* envelope, Message* message,
                       SubmittedMessage* confirmation);

// After the delivery: the log line of what became of a prepared
// confirmation; one neither handed to the server nor kept in the spool
// gives its address's window back.
void autoreply_settle(const Settings& settings, const SubmittedMessage& confirmation,
                      const ConfirmationResult& result);
