#include "guard/pipeline.h"

#include <gtest/gtest.h>

#include <cstring>

#include "base/log.h"
#include "platform/os.h"

namespace {

// The judges in their order, each fed by the request value alone: the
// first stop wins, the form's judges run before the envelope's, and the
// CAPTCHA is given no more than the run's time.
TEST(Pipeline, FirstStopInTheFixedOrderFromTheRequestValue) {
  static const struct {
    const char* trap;     // the honeypot field's value
    const char* origin;   // the request's Origin
    const char* referer;  // the request's Referer
    const char* name;     // the required field's value
    const char* to;       // the envelope's recipient
    bool captcha;         // captcha set, with the run's time used up
    VerdictKind kind;
    Outcome outcome;
    const char* line;
  } cases[] = {
      {"bot", "https://evil.org", nullptr, "", "owner@example.com", false, VerdictKind::kDropped,
       Outcome::kSent, "dropped by the honeypot (answered as sent)"},
      {"", nullptr, "https://evil.org/form.html", "", "owner@example.com", false,
       VerdictKind::kRefused, Outcome::kRefused, "refused by the origin guard"},
      {"", "https://www.example.com", "https://evil.org/", "", "x@evil.org", false,
       VerdictKind::kRefused, Outcome::kMissing, "not sent, required fields missing"},
      {"", nullptr, nullptr, "Ann", "x@evil.org", true, VerdictKind::kRefused, Outcome::kRefused,
       "refused by the recipient allow-list"},
      {"", nullptr, nullptr, "Ann", "owner@example.com", true, VerdictKind::kRefused,
       Outcome::kCaptchaUnreachable, "not sent, the CAPTCHA service could not be asked"},
      {"", "https://www.example.com", nullptr, "Ann", "owner@example.com", false,
       VerdictKind::kPass, Outcome::kSent, nullptr},
  };
  LogState saved_log = g_log;
  g_log.path = "";
  char trap_name[] = "trap", name_name[] = "name", allowed_host[] = "www.example.com",
       allowed_to[] = "owner@example.com", turnstile[] = "turnstile";
  char* traps[] = {trap_name};
  char* required[] = {name_name};
  char* hosts[] = {allowed_host};
  char* recipients[] = {allowed_to};
  Settings settings;
  settings.honeypot_variables = SettingList{traps, 1};
  settings.required_variables = SettingList{required, 1};
  settings.allowed_origins = SettingList{hosts, 1};
  settings.allowed_recipients = SettingList{recipients, 1};
  static FormTable form;
  for (const auto& c : cases) {
    char trap_value[16], name_value[16], to[32];
    strcpy(trap_value, c.trap);
    strcpy(name_value, c.name);
    strcpy(to, c.to);
    form.count = 2;
    form.indexed_count = 0;
    form.names[0] = trap_name;
    form.values[0] = trap_value;
    form.names[1] = name_name;
    form.values[1] = name_value;
    settings.captcha = c.captcha ? turnstile : nullptr;
    Request request = {};
    request.origin = c.origin;
    request.referer = c.referer;
    GuardInput input = {&settings, &form, &request, nullptr, os_monotonic_ms() - 1,
                        nullptr, nullptr};
    GuardRun run = {};
    Verdict verdict = guard_judge_form(input, &run);
    Envelope envelope = {};
    envelope.to = to;
    input.envelope = &envelope;
    if (verdict.kind == VerdictKind::kPass) verdict = guard_judge_message(input, &run);
    EXPECT_EQ(verdict.kind, c.kind) << c.to;
    EXPECT_EQ(verdict.outcome, c.outcome) << c.to;
    EXPECT_STREQ(verdict.line, c.line);
    if (c.outcome == Outcome::kMissing) {
      ASSERT_EQ(run.missing.count, 1);
      EXPECT_STREQ(run.missing.items[0], "name");
    }
    field_names_free(&run.missing);
  }
  settings = Settings();
  g_log = saved_log;
}

}  // namespace
