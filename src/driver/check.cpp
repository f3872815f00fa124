#include "driver/check.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "base/log.h"
#include "base/program.h"
#include "config/mistake.h"
#include "driver/form_choice.h"
#include "platform/user.h"

namespace {

// Every file a run reads is read as the --as user: the settings, the
// pages, the password, secret and CA files.
const CheckSection kCheckSections[] = {
    {"settings", check_settings_lines, true},
    {"pages", check_pages, true},
    {"files the runs write", check_state_files, true},
    // As the web server's user: the rate state must be usable by it.
    {"limits and ownership", check_limits, true},
    {"mail server", check_mail_server, true},
    // As the web server's user: its secret file must be readable by it.
    {"captcha", check_captcha, true},
    // As the web server's user: clamd's socket must be open to it.
    {"virus scan", check_virus_scan, true, check_virus_applies},
    // As the web server's user: its words file must be readable by it.
    {"spam", check_spam, true, check_spam_applies},
    {"webhooks", check_webhooks, true, webhooks_in_use},
};

// The log's lines come here instead of the file: the error lines are shown
// (without their trailing line ends) and counted.
void echo_log_line(int level, const char* message, void* context) {
  if (level != LOG_ERROR) return;
  int length = static_cast<int>(strlen(message));
  while (length > 0 && (message[length - 1] == '\n' || message[length - 1] == '\r')) --length;
  printf("  log: %.*s\n", length, message);
  ++static_cast<CheckRun*>(context)->log_errors;
}

void vsay(const char* prefix, const char* format, va_list args) QUILLON_PRINTF(2, 0);
void vsay(const char* prefix, const char* format, va_list args) {
  fputs(prefix, stdout);
  vprintf(format, args);
  fputc('\n', stdout);
}

// The first word of a used line, which is its key: never the value.
void print_used(int number, const char* line) {
  int length = 0;
  while (line[length] != '\0' && line[length] != ' ' && line[length] != '=') ++length;
  check_say("line %d `%.*s`: used", number, length, line);
}

struct LineTally {
  CheckRun* run;
  int problems;
  int errors_seen;  // run->log_errors after the previous line
};

void classify_line(int number, const char* line, int used, void* context) {
  LineTally* tally = static_cast<LineTally*>(context);
  bool refused = tally->run->log_errors > tally->errors_seen;
  tally->errors_seen = tally->run->log_errors;
  SettingsMistake mistake;
  if (used == kSettingsLineReplaced) {
    check_say("line %d: the form's file sets this key", number);
  } else if (used == kSettingsLineSharedOnly) {
    check_say("line %d: not used (the shared settings file alone sets it)", number);
  } else if (used > 0) {
    print_used(number, line);
  } else if (refused) {
    // Counted with the log's error line just shown.
    check_say("line %d: not used (see the log line above)", number);
  } else if (settings_probable_mistake(line, &mistake)) {
    tally->problems += check_problem("line %d `%s`: not used (did you mean %s?%s)", number,
                                     log_quote(0, mistake.word), mistake.key,
                                     settings_mistake_advice(mistake.kind));
  } else if (line[0] != '\0') {
    check_say("line %d: ignored as text", number);
  }
}

// A section run as the --as user when it asks for it.
int run_section(const CheckSection& section, CheckRun* run) {
  if (section.applies != nullptr && !section.applies(run->settings)) return 0;
  printf("%s\n", section.title);
  if (!section.as_user || run->as_user == nullptr) return section.run(run);
  OsSavedIds saved;
  char error[300];
  if (!os_become_user(run->as_user, &saved, error, sizeof error)) {
    return check_problem("%s", error);
  }
  int problems = section.run(run);
  os_restore_user(saved);
  return problems;
}

}  // namespace

void check_say(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vsay("  ", format, args);
  va_end(args);
}

int check_problem(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vsay("  problem: ", format, args);
  va_end(args);
  return 1;
}

int check_settings_lines(CheckRun* run) {
  LineTally tally = {run, 0, run->log_errors};
  int errors_before = run->log_errors;
  FormKeys keys = {};
  bool form = g_program.form_name[0] != '\0';
  if (form && !settings_form_keys(g_program.form_path, &keys)) {
    return check_problem("the form's file %s cannot be opened", g_program.form_path);
  }
  if (!settings_read_layer(run->ini_path, form ? &keys : nullptr, false,
                           FieldLookup{nullptr, nullptr}, &run->settings, classify_line, &tally)) {
    return check_problem("the settings file %s cannot be opened", run->ini_path);
  }
  if (form) {
    check_say("the form's file %s:", g_program.form_path);
    settings_read_layer(g_program.form_path, nullptr, true, FieldLookup{nullptr, nullptr},
                        &run->settings, classify_line, &tally);
  }
  // A value a key refused was logged above: the run would keep the default.
  return tally.problems + (run->log_errors - errors_before);
}

namespace {

constexpr int kMostForms = 200;

// The forms of the install, listed; with --all each is checked after the
// shared file.
int check_one(CheckRun* run) {
  if (g_program.form_name[0] != '\0') {
    printf("checking the form %s (%s over %s)\n", g_program.form_name, g_program.form_path,
           run->ini_path);
  } else {
    printf("checking the settings file %s\n", run->ini_path);
  }
  int problems = 0;
  for (const CheckSection& section : kCheckSections) problems += run_section(section, run);
  settings_free(&run->settings);
  return problems;
}

void list_install_forms(char (*names)[65], int count) {
  if (count == 0) return;
  printf("forms:");
  for (int i = 0; i < count; ++i) printf(" %s", names[i]);
  printf("\n");
}

// -check [NAME|--all] [--as USER] into `run`, `form` and `all`; false: usage.
bool parse_check_arguments(int argc, char** argv, CheckRun* run, const char** form, bool* all) {
  int at = 2;
  if (at < argc && strcmp(argv[at], "--as") != 0) {
    if (strcmp(argv[at], "--all") == 0) {
      *all = true;
    } else {
      *form = argv[at];
    }
    ++at;
  }
  if (at + 2 == argc && strcmp(argv[at], "--as") == 0) {
    run->as_user = argv[at + 1];
    at += 2;
  }
  return at == argc;
}

}  // namespace

int check_command(int argc, char** argv) {
  CheckRun run;
  run.ini_path = g_program.ini_path;
  run.as_user = nullptr;
  run.log_errors = 0;
  const char* form = nullptr;
  bool all = false;
  if (!parse_check_arguments(argc, argv, &run, &form, &all)) {
    printf("usage: %s -check [NAME|--all] [--as USER]\n", argv[0]);
    return 3;
  }
  if (form != nullptr && choose_named_form(form) != FormChoice::kForm) {
    printf("-check %s: this install has no such form\n", form);
    return 3;
  }
  if (run.as_user != nullptr) {
    OsSavedIds saved;
    char error[300];
    if (!os_become_user(run.as_user, &saved, error, sizeof error)) {
      printf("-check --as %s: %s\n", run.as_user, error);
      return 3;
    }
    os_restore_user(saved);
  }
  g_log.echo_context = &run;
  g_log.echo = echo_log_line;
  static char names[kMostForms][65];
  int count = list_forms(names, kMostForms);
  if (form == nullptr) list_install_forms(names, count);
  int problems = check_one(&run);
  for (int i = 0; all && i < count; ++i) {
    choose_named_form(names[i]);
    problems += check_one(&run);
  }
  if (problems == 0) {
    printf("ready\n");
  } else {
    printf("%d problem%s\n", problems, problems == 1 ? "" : "s");
  }
  fflush(stdout);
  g_log.echo = nullptr;
  g_log.echo_context = nullptr;
  return problems == 0 ? 0 : 3;
}
