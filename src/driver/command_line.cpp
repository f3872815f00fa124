// The command line: which command the arguments name, and the entry
// point that runs it (a CGI run, or one of the owner's commands).
#include <cstdio>
#include <cstring>

#include "base/log.h"
#include "base/program.h"
#include "driver/archive_cmd.h"
#include "driver/check.h"
#include "driver/commands.h"
#include "driver/environment.h"
#include "driver/faq.h"
#include "driver/form_choice.h"
#include "driver/help.h"
#include "driver/quarantine_cmd.h"
#include "driver/resend.h"
#include "driver/run.h"
#include "driver/webhook_cmd.h"

// An option that takes words of its own (at least one).
constexpr int kAnyCount = -1;

struct OptionEntry {
  int argc;
  const char* name;
  Command command;
};

// Compared exactly, case included: "-VERSION" is no option.
static const OptionEntry kOptions[] = {
    {2, "-version", Command::kVersion},
    {2, "-?", Command::kVersion},
    {2, "-FAQ", Command::kFaq},
    {2, "-blanklog", Command::kBlankLog},
    {3, "-version_insert_filename", Command::kVersionInsertFilename},
    {2, "-resend", Command::kResend},
    {2, "-check", Command::kCheck},
    {3, "-check", Command::kCheck},
    {4, "-check", Command::kCheck},
    {kAnyCount, "-archive", Command::kArchive},
    {2, "-quarantine", Command::kQuarantine},
    {3, "-quarantine", Command::kQuarantine},
    {4, "-quarantine", Command::kQuarantine},
    {5, "-quarantine", Command::kQuarantine},
    {5, "-check", Command::kCheck},
    {4, "-webhook", Command::kWebhook},
};

Command classify_arguments(int argc, char** argv) {
  for (const OptionEntry& option : kOptions) {
    bool count = argc == option.argc || (option.argc == kAnyCount && argc >= 3);
    if (count && strcmp(argv[1], option.name) == 0) {
      return option.command;
    }
  }
  return Command::kCgiRun;
}

// An owner command's "--form NAME", anywhere after the command, chooses
// the form and is taken out of the arguments. False (said why) when no
// form has the name.
static bool take_form_option(int* argc, char** argv) {
  for (int i = 2; i + 1 < *argc; ++i) {
    if (strcmp(argv[i], "--form") != 0) continue;
    if (choose_named_form(argv[i + 1]) != FormChoice::kForm) {
      printf("--form %s: this install has no such form.\n", argv[i + 1]);
      fflush(stdout);
      return false;
    }
    for (int j = i; j + 2 < *argc; ++j) argv[j] = argv[j + 2];
    *argc -= 2;
    g_program.argc = *argc;
    return true;
  }
  return true;
}

int quillon_main(int argc, char** argv) {
  g_program.argc = argc;
  g_program.argv = argv;
  derive_path(program_path(), ".ini", g_program.ini_path);
  derive_path(program_path(), ".log", g_program.log_path);
  derive_path(program_path(), ".rate", g_program.rate_path);
  g_log.path = g_program.log_path;
  // A query string without "=" reaches the program as arguments, so under a
  // web server they would let any visitor run the maintenance commands.
  g_program.web_server = started_by_web_server();

  if (!g_program.web_server && !take_form_option(&argc, argv)) return 3;
  Command command = g_program.web_server ? Command::kCgiRun : classify_arguments(argc, argv);
  switch (command) {
    case Command::kVersion:
      return print_version_banner();
    case Command::kFaq:
      print_faq_page();
      fflush(stdout);
      return 0;
    case Command::kBlankLog:
      return blank_log();
    case Command::kVersionInsertFilename:
      return version_insert_filename(argv[2]);
    case Command::kResend:
      return resend_queue();
    case Command::kCheck:
      return check_command(argc, argv);
    case Command::kArchive:
      return archive_command(argc, argv);
    case Command::kQuarantine:
      return quarantine_command(argc, argv);
    case Command::kWebhook:
      return webhook_command(argc, argv);
    case Command::kCgiRun:
      break;
  }
  return run_cgi();
}
