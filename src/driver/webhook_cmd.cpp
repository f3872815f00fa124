#include "driver/webhook_cmd.h"

#include <cstdio>
#include <cstring>

#include "base/log.h"
#include "base/program.h"
#include "config/settings.h"
#include "deliver/webhook.h"
#include "driver/check.h"
#include "driver/environment.h"

namespace {

void print_outcome(const char* name, const char* outcome, void*) {
  printf("%s: %s\n", name, outcome);
  fflush(stdout);
}

int replay(const Settings& settings, const char* id) {
  int delivered = 0;
  char error[1000];
  int found = webhook_replay(delivery_context(settings), id, print_outcome, nullptr, &delivered,
                             error, sizeof error);
  if (found < 0) {
    printf("webhook resend: %s\n", error);
  } else if (found == 0) {
    printf("webhook resend: no delivered webhook of the submission %s is kept in sent/; "
           "nothing posted.\n", id);
  } else {
    printf("webhook resend: %d of %d delivered again\n", delivered, found);
  }
  fflush(stdout);
  return found > 0 && delivered == found ? 0 : 3;
}

}  // namespace

int webhook_command(int argc, char** argv) {
  if (argc != 4 || strcmp(argv[2], "resend") != 0) {
    printf("usage: %s -webhook resend ID\n", argv[0]);
    return 3;
  }
  Settings settings;
  if (!settings_read(g_program.ini_path, FieldLookup{nullptr, nullptr}, &settings)) {
    printf("webhook resend: the settings file %s cannot be opened.\n", g_program.ini_path);
    fflush(stdout);
    return 3;
  }
  int code = replay(settings, argv[3]);
  settings_free(&settings);
  return code;
}

bool webhooks_in_use(const Settings& settings) {
  return settings.webhooks.count > 0 || !settings.send_mail;
}

int check_webhooks(CheckRun* run) {
  const Settings& settings = run->settings;
  int problems = 0;
  if (settings.webhooks.count == 0) {
    check_say("no webhook lines: submissions go to the mail only.");
    if (!settings.send_mail) return check_problem("send_mail false needs a webhook line.");
    return 0;
  }
  if (!settings.send_mail && settings.spool_folder == nullptr) {
    problems += check_problem("send_mail false needs a spool_folder line.");
  }
  if (settings.webhooks.count > 0 && settings.spool_folder == nullptr) {
    check_say("note: without spool_folder a webhook that fails is not tried again.");
  }
  for (int i = 0; i < settings.webhooks.count; ++i) {
    char url[2100];
    WebhookFormat format;
    webhook_target(settings, i, url, sizeof url, &format);
    char shown[2100];
    webhook_shown_url(url, shown, sizeof shown);
    bool plain = strncmp(url, "http://", 7) == 0;
    if (plain && settings.webhook_allow_http) {
      check_say("note: webhook %d %s is plain http: submissions travel unencrypted.", i + 1,
                shown);
    }
    WebhookProbe probe = webhook_probe(settings, i);
    if (probe.delivered) {
      check_say("webhook %d %s (%s): %s in %lld.%02lld s", i + 1, shown,
                kWebhookFormats[static_cast<int>(format)], probe.detail, probe.elapsed_ms / 1000,
                probe.elapsed_ms % 1000 / 10);
    } else {
      problems += check_problem("webhook %d %s (%s): %s%s", i + 1, shown,
                                kWebhookFormats[static_cast<int>(format)], probe.detail,
                                probe.sent ? "" : " (not posted)");
    }
  }
  return problems;
}
