// -check: the virus scanner, when virus_scan is set: clamd reached, its
// version and database, the industry's test text found, and its stream
// limit against the attachments'.
#include <cstdio>
#include <cstring>

#include "driver/check.h"
#include "guard/clamd.h"

namespace {

// The anti-virus test text that every scanner reports, made here from its
// parts so that no file of ours holds it whole (a scanner on the owner's
// machine would take the program, or its sources, for infected).
void test_text(char* out, size_t size) {
  const char* parts[] = {"X5O!P%@AP[4\\PZX54(P^)7CC)7}$", "EICAR-STANDARD-", "ANTIVIRUS-TEST-",
                         "FILE!$H+H*"};
  out[0] = '\0';
  for (const char* part : parts) strncat(out, part, size - strlen(out) - 1);
}

// "ClamAV 1.4.6/27480/Tue Dec  9 09:25:02 2026": the engine, then the
// database's version and date when clamd has the official one.
void say_version(const char* reply) {
  const char* slash = strchr(reply, '/');
  if (slash == nullptr) {
    check_say("clamd: %s (no database date given)", reply);
    return;
  }
  check_say("clamd: %.*s", static_cast<int>(slash - reply), reply);
  const char* date = strchr(slash + 1, '/');
  if (date == nullptr) {
    check_say("database version %s", slash + 1);
  } else {
    check_say("database version %.*s of %s", static_cast<int>(date - slash - 1), slash + 1,
              date + 1);
  }
}

// The stream limit, which clamd does not report, against the files'.
int compare_limits(const Settings& settings) {
  check_say("virus_max_kb %d (clamd's StreamMaxLength), attachments_max_kb %d",
            settings.virus_max_kb, settings.attachments_max_kb);
  if (settings.attachments_max_kb > settings.virus_max_kb) {
    return check_problem("attachments_max_kb %d is over virus_max_kb %d: larger files are "
                         "never scanned (raise StreamMaxLength in clamd.conf and virus_max_kb)",
                         settings.attachments_max_kb, settings.virus_max_kb);
  }
  // -resend scans a held message whole, its files in base64.
  long long whole_kb = settings.attachments_max_kb * 4LL / 3 + 64;
  if (settings.attachments_max_kb > 0 && whole_kb > settings.virus_max_kb) {
    check_say("note: a message held for -resend is scanned whole (about %lld KB with the "
              "largest files); over virus_max_kb it waits until clamd's limit is raised",
              whole_kb);
  }
  return 0;
}

}  // namespace

bool check_virus_applies(const Settings& settings) { return settings.virus_scan != nullptr; }

int check_virus_scan(CheckRun* run) {
  const Settings& settings = run->settings;
  check_say("clamd at %s, virus_timeout %d s", settings.virus_scan, settings.virus_timeout);
  char reply[300];
  if (!clamd_command(settings.virus_scan, "VERSION", clamd_end_ms(settings.virus_timeout, 0),
                     reply, sizeof reply)) {
    return check_problem("clamd cannot be reached: %s", reply) + compare_limits(settings);
  }
  say_version(reply);
  char text[80];
  test_text(text, sizeof text);
  ClamdMemory source = {text, strlen(text), 0};
  ClamdResult result = clamd_scan(settings.virus_scan, clamd_read_memory, &source,
                                  clamd_end_ms(settings.virus_timeout, 0));
  int problems = 0;
  if (result.status == ClamdStatus::kFound) {
    check_say("the anti-virus test text: found (%s)", result.name);
  } else if (result.status == ClamdStatus::kClean) {
    problems += check_problem("the anti-virus test text was not found: clamd's database "
                              "lacks its signature");
  } else {
    problems += check_problem("the anti-virus test text could not be scanned: %s", result.text);
  }
  return problems + compare_limits(settings);
}
