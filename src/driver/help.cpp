#include "driver/help.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/brand.h"
#include "base/log.h"
#include "base/program.h"
#include "base/text.h"
#include "platform/os.h"

// fgets() limit of the answer: 9998 characters and the terminating NUL.
constexpr int kAnswerReadLimit = 9999;


// Everything after the first line. The blank before the final line end of
// the two "dynamic ... entry" items is part of the text.
static const char kHelpText[] =
    "This program sends emails based upon the ini files and information submitted\n"
    " through standard HTTP post format (this is a cgi executable).\n\n"
    "Ini variable names are:\n"
    "\"smtp\"   - use once to specify smtp server.\n"
    "\"logging\"  - use once to specify logging (debug/errors)\n"
    "\"sendall\"  - use once to send all variables in the body (true/false).\n"
    "\"success_html_page\" - file to output if successful send of email.\n"
    "\"failure_html_page\" - file to output if failure to send email.\n"
    "\"headerline\" - static header entry e.g. \"headerline Subject: email\"\n"
    "\"use_submitted_variable_for_headerline\" - dynamic header entry e.g.\n"
    "   If submitted variable \"Subject:\" is set to \"email\", then\n"
    "   \"use_submitted_variable_for_headerline Subject:\" outputs \"Subject: email\" \n"
    "\"bodycontent_line\" - static body line e.g. \"bodycontent_line Users details:\"\n"
    "\"use_submitted_variable_for_bodycontent\" - dynamic body line entry e.g.\n"
    "   If submitted variable \"Name:\" is set to \"Joe Bloggs\", then\n"
    "   \"use_submitted_variable_for_bodycontent Name:\" outputs \"Name: Joe Bloggs\" \n"
    "Variables are outputed in the order that they are in, in the ini file.\n\n"
    "Headers that must be defined are: 'To:', 'From:' and 'Subject:'.\n"
    "The email address in the 'From:' header will be the bounce email address.\n"
    "The email address in the 'To:' header will be the recipient.\n\n";

static const char kDemoHead[] =
    "smtp 127.0.0.1\n"
    "logging errors\n"
    "sendall false\n"
    "hello_method HELO\n"
    "success_html_page /html/success.html\n"
    "failure_html_page /html/failure.html\n\n";

static const char kDemoTail[] =
    "headerline Subject: Form Submission Data\n"
    "use_submitted_variable_for_headerline Status:\n"
    "bodycontent_line Here are the details that they submitted:\n"
    "use_submitted_variable_for_bodycontent Name:\n"
    "use_submitted_variable_for_bodycontent Email:\n"
    "use_submitted_variable_for_bodycontent Interests:\n";

// Only a missing settings file earns the offer; an unreadable one is left
// alone, since writing over it is not what its owner asked for.
static bool settings_file_missing() {
  FILE* file = fopen(g_program.ini_path, "r");
  if (file != nullptr) {
    fclose(file);
    return false;
  }
  int err = errno;
  log_event(LOG_DEBUG, "detected no ini file.");
  return err == ENOENT;
}

static void offer_demo_settings() {
  printf("Would you like me to generate a demo ini file for you?[y/n]");
  fflush(stdout);
  char answer[kAnswerAreaSize];
  read_answer_line(answer);
  if (answer[0] != 'y' && answer[0] != 'Y') return;

  printf("ini file is (%s).\n\n", g_program.ini_path);
  TextBuffer* demo = text_buffer_new(kDemoHead);
  text_buffer_append(demo, "headerline To: \"Me\" <%s>\n", kExampleEmail);
  text_buffer_append(demo, "headerline From: \"Me\" <%s>\n", kExampleEmail);
  text_buffer_append(demo, "%s", kDemoTail);
  // Only a new file: whatever appeared at that name meanwhile, a link to
  // somewhere else included, is left as it is. Write and close errors go
  // unnoticed: the user sees the file or its lack.
  int step = os_write_text_file(g_program.ini_path, demo->data,
                                static_cast<size_t>(demo->length), /*replace=*/false,
                                /*owner_only=*/false);
  text_buffer_free(demo);
  if (step == kOsOpenFailed) {
    int err = errno;
    log_event(LOG_DEBUG, "could not write demo ini file.");
    printf("Oh, I cant do that, (%d)(%s).", err, strerror(err));
    return;
  }
  log_event(LOG_DEBUG, "writing demo ini file.");
}

bool startup_report_and_help() {
  log_event(LOG_DEBUG, "argv[0] == %s", program_path());
  log_event(LOG_DEBUG, "Log file == %s", g_program.log_path);
  log_event(LOG_DEBUG, "Ini file == %s", g_program.ini_path);
  if (g_program.argc <= 1 || g_program.web_server) return true;

  log_event(LOG_DEBUG, "printing help info.");
  printf("\nQUILLON - %s\n", kHomePageUrl);
  fputs(kHelpText, stdout);
  if (settings_file_missing()) offer_demo_settings();
  log_event(LOG_DEBUG, "ending.");
  fflush(stdout);
  return false;
}

void read_answer_line(char* dest) { read_answer_line_from(stdin, dest); }

void read_answer_line_from(FILE* in, char* dest) {
  char line[kAnswerAreaSize];
  // At end of input the answer is empty, never a line read earlier.
  if (fgets(line, kAnswerReadLimit, in) == nullptr) line[0] = '\0';
  const char* token = line + strspn(line, "\r\n");
  size_t length = strcspn(token, "\r\n");
  memcpy(dest, token, length);
  dest[length] = '\0';
}
