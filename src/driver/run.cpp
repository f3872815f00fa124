#include "driver/run.h"

#include <cstdio>
#include <cstring>

#include "base/log.h"
#include "compose/guards.h"
#include "compose/message.h"
#include "compose/envelope.h"
#include "compose/message.h"
#include "compose/post_memory.h"
#include "config/settings.h"
#include "deliver/deliver.h"
#include "driver/commands.h"
#include "driver/faq.h"
#include "driver/help.h"
#include "driver/resend.h"
#include "form/form.h"
#include "platform/os.h"
#include "reply/page.h"

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
};

void derive_path(const char* path, const char* ext, char* out) {
  // Cutting a long path before the extension keeps ".ini", ".log" and ".rate" apart
  // and away from the program file itself.
  size_t ext_length = strlen(ext);
  snprintf(out, kPathLimit + 1 - ext_length, "%s", path);
  strcat(out, ext);
  // The extension and its NUL overwrite the first ".exe", then the
  // first ".cgi", of the whole path: the name ends right after the extension.
  char* found = strstr(out, ".exe");
  if (found != nullptr) memcpy(found, ext, ext_length + 1);
  found = strstr(out, ".cgi");
  if (found != nullptr) memcpy(found, ext, ext_length + 1);
}

Command classify_arguments(int argc, char** argv) {
  for (const OptionEntry& option : kOptions) {
    if (argc == option.argc && strcmp(argv[1], option.name) == 0) {
      return option.command;
    }
  }
  return Command::kCgiRun;
}

// A web server sets these for every CGI program it starts (RFC 3875).
static bool started_by_web_server() {
  return environment_value("GATEWAY_INTERFACE") != nullptr ||
         environment_value("REQUEST_METHOD") != nullptr;
}

DeliveryContext delivery_context(const Settings& settings) {
  // A test names a step here to have the run wait there (the web server
  // passes visitors' headers as HTTP_* variables only, so no visitor can).
  return DeliveryContext{&settings, g_program.ini_path, environment_value("QUILLON_TEST_PAUSE_AT")};
}

// The log's view of a settings line naming a form field: its submitted value.
static const char* submitted_value(const char* name, void* context) {
  return form_value(*static_cast<const FormTable*>(context), name);
}

// The finished message handed to the delivery layer.
static DeliveryResult deliver(const Settings& settings, const Envelope& envelope,
                              const Message& message) {
  SmtpEnvelope to = {envelope.from, envelope.to, envelope.cc, envelope.bcc};
  SmtpContent content = {message.header.wire->data, message.body.wire->data,
                         message.header.shown->data, message.body.shown->data};
  return deliver_message(delivery_context(settings), to, content);
}

// When the run began (os_monotonic_ms): the time a sent run takes is kept,
// and a honeypot catch takes as long.
static long long g_run_started_ms = 0;

// The guards, the message and its delivery, then the page for the visitor.
static void submit(const Settings& settings, const FormTable& form) {
  // The guards on the form come first; those that need the envelope, and
  // the rate limit, run inside assemble_message just before the delivery.
  TextBuffer* missing = nullptr;
  GuardStop stop = check_form_guards(settings, form, &missing);
  DuplicatePost duplicate = {};
  if (stop == GuardStop::kNone && duplicate_seen(settings, form, &duplicate)) {
    stop = GuardStop::kDuplicate;
  }
  DeliveryResult result = {};
  result.outcome = DeliveryOutcome::kNotConfigured;
  Envelope envelope = {};
  Message message = {};
  if (stop == GuardStop::kNone) {
    log_event(LOG_DEBUG, "generating email.");
    if (assemble_message(settings, form, &envelope, &message)) {
      result = deliver(settings, envelope, message);
    }
  }
  duplicate_settle(&duplicate, settings,
                   result.outcome == DeliveryOutcome::kSent ||
                       result.outcome == DeliveryOutcome::kKeptInSpool);
  if (result.outcome == DeliveryOutcome::kSent) sent_run_note(settings, g_run_started_ms);
  if (stop == GuardStop::kHoneypot) sent_run_wait(settings, g_run_started_ms);
  PageInput page = {&form, settings.add_zolvar_link, nullptr, ""};
  if (stop == GuardStop::kMissingFields) {
    log_event(LOG_DEBUG, "sending missing fields reply message.");
    page.missing_fields = missing->data;
    send_missing_reply(settings, page);
  } else if (result.outcome == DeliveryOutcome::kSent || stop == GuardStop::kHoneypot ||
             stop == GuardStop::kDuplicate) {
    // A honeypot catch looks like a success to the sender; a repeat of a
    // sent post is answered as the post was.
    log_event(LOG_DEBUG, "sending success reply message.");
    send_success_reply(settings, page);
  } else {
    if (result.outcome == DeliveryOutcome::kKeptInSpool) page.spooled = "yes";
    log_event(LOG_DEBUG, "sending failure reply message.");
    send_failure_reply(settings, page);
  }
  text_buffer_free(missing);
  message_free(&message);
  envelope_free(&envelope);
}

int run_cgi() {
  g_run_started_ms = os_monotonic_ms();
  log_event(LOG_DEBUG, "starting version %s", kProgramVersion);
  if (!startup_report_and_help()) return 0;
  // Only a POST carries a form; any other request would mail empty values.
  const char* method = environment_value("REQUEST_METHOD");
  if (method != nullptr && strcmp(method, "POST") != 0) {
    log_event(LOG_ERROR, "request method %s is not POST: nothing sent.", log_quote(0, method));
    send_method_not_allowed_reply();
    log_event(LOG_DEBUG, "ended.");
    fflush(stdout);
    return 0;
  }
  // The form comes before the settings: the settings' log lines show the
  // submitted values of the fields they name.
  FormTable form = {};
  log_event(LOG_DEBUG, "getting form info.");
  read_form(&form);
  log_event(LOG_DEBUG, "loading config file.");
  Settings settings;
  if (!settings_read(g_program.ini_path, FieldLookup{submitted_value, &form}, &settings)) {
    fatal_reply("The ini file could not be opened.");
  }
  submit(settings, form);
  log_event(LOG_DEBUG, "ended.");
  fflush(stdout);
  // Freed last: the log follows the settings' logging level to the end.
  settings_free(&settings);
  form_free(&form);
  return 0;
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
    case Command::kCgiRun:
      break;
  }
  return run_cgi();
}
