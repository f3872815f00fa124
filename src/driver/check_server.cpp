// -check: a trial exchange with the mail server, as a delivery would hold
// it, without sending a mail.
#include <cstdio>

#include "base/log.h"
#include "deliver/mail_options.h"
#include "driver/check.h"
#include "smtp/probe.h"
#include "smtp/transport.h"

namespace {

struct ProbeTally {
  int problems;
};

void report_step(const ProbeStep& step, void* context) {
  ProbeTally* tally = static_cast<ProbeTally*>(context);
  double seconds = static_cast<double>(step.ms) / 1000.0;
  const char* reply = log_quote(0, step.reply);
  if (step.ok) {
    check_say("%s: ok%s%s (%.2f s)", step.name, reply[0] != '\0' ? ", " : "", reply, seconds);
  } else {
    tally->problems += check_problem("%s failed%s%s (%.2f s)", step.name,
                                     reply[0] != '\0' ? ": " : "", reply, seconds);
  }
}

}  // namespace

int check_mail_server(CheckRun* run) {
  const Settings& settings = run->settings;
  DeliveryOptions options;
  if (!delivery_options(settings, &options)) {
    delivery_options_free(&options);
    return check_problem("the delivery settings cannot be used (the log line above says why)");
  }
  check_say("smtp_timeout %d s for each step, smtp_deadline %d s for the whole exchange",
            settings.smtp_timeout, settings.smtp_deadline);
  SmtpSession session;
  smtp_session_init(&session, options.smtp);
  ProbeTally tally = {0};
  bool ok = smtp_probe(&session, settings.smtp, report_step, &tally);
  smtp_session_end(&session);
  // A step can fail without a reply of its own to blame (a TLS handshake).
  if (!ok && tally.problems == 0) tally.problems = check_problem("the exchange did not complete");
  delivery_options_free(&options);
  return tally.problems;
}
