#include "reply/page.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/brand.h"
#include "base/log.h"
#include "base/program.h"
#include "config/settings.h"
#include "form/form.h"

const char credit_link[] =
    "<br><center><font size=-2><A HREF=\"" QUILLON_HOME_URL "\">" QUILLON_CREDIT_TEXT
    "</A><font size=+2></center>";

// One read takes at most 9998 characters: fgets with a limit of 9999.
constexpr int kLineArea = 10000;
constexpr int kLineReadLimit = 9999;

// What tells the pages apart.
struct PageKind {
  const char* setting_name;
  const char* head;
};
static const PageKind kSuccessPage = {"success_html_page", "<HTML><BODY>\nemail sent.\n"};
static const PageKind kFailurePage = {"failure_html_page",
                                      "<HTML><BODY>\nemail NOT sent.\n"};
static const PageKind kMissingPage = {"missing_html_page",
                                      "<HTML><BODY>\nemail NOT sent.\n"};

static const char kMissingFieldsToken[] = "quillon_missing_fields";

static void print_text(const char* text) { fputs(text, stdout); }

void print_escaped_value(const char* value) {
  const char* run = value;
  for (const char* p = value; *p != '\0'; ++p) {
    const char* entity = nullptr;
    switch (*p) {
      case '&': entity = "&amp;"; break;
      case '<': entity = "&lt;"; break;
      case '>': entity = "&gt;"; break;
      case '"': entity = "&quot;"; break;
      case '\'': entity = "&#39;"; break;
      default: continue;
    }
    fwrite(run, 1, static_cast<size_t>(p - run), stdout);
    print_text(entity);
    run = p + 1;
  }
  print_text(run);
}

// Tokens whose value the run provides, not the form: a visitor cannot set
// them by submitting a field of the same name. "" until the run sets them.
struct ProgramToken {
  const char* name;
  const char* PageInput::*value;
};
static const ProgramToken kProgramTokens[] = {
    {"quillon_spooled", &PageInput::spooled},  // "yes": the message waits in the spool's queue
    {"quillon_outcome", &PageInput::outcome},  // "sent", "spooled", "too_large", ...
    {"quillon_message", &PageInput::message},  // what the JSON answer says to the visitor
};

// The value of a program token, or null when `name` is none.
static const char* program_token(const PageInput& input, const char* name) {
  if (strncmp(name, "quillon_", 8) != 0) return nullptr;
  for (const ProgramToken& token : kProgramTokens) {
    if (strcmp(token.name, name) != 0) continue;
    const char* value = input.*token.value;
    return value != nullptr ? value : "";
  }
  return nullptr;
}

void expand_tokens(const PageInput& input, char* text) {
  char* rest = text;
  for (;;) {
    char* open = strstr(rest, "||");
    if (open == nullptr) {
      print_text(rest);
      return;
    }
    char* close = strstr(open + 2, "||");
    if (close == nullptr) {
      print_text("token not terminated {");
      print_text(rest);
      print_text("}");
      return;
    }
    *open = '\0';
    *close = '\0';
    print_text(rest);
    // A value is printed, never expanded again: a "||" in it stays as it is.
    const char* name = open + 2;
    const char* value = nullptr;
    if (input.missing_fields != nullptr && strcmp(name, kMissingFieldsToken) == 0) {
      value = input.missing_fields;
    }
    if (value == nullptr) value = program_token(input, name);
    if (value == nullptr) value = input.form != nullptr ? form_joined_value(*input.form, name) : "";
    print_escaped_value(value);
    rest = close + 2;
    if (*rest == '\0') return;
  }
}

void page_printf(const PageInput& input, const char* format, ...) {
  // The page printer's own formatting area: a token whose expansion logs
  // cannot overwrite the line being printed.
  char* scratch = static_cast<char*>(malloc(kScratchSize));
  if (scratch == nullptr) fatal_reply(kOutOfMemory);
  va_list args;
  va_start(args, format);
  int n = vsnprintf(scratch, kScratchLimit + 1, format, args);
  va_end(args);
  if (n > 0 && n <= kScratchLimit) expand_tokens(input, scratch);
  free(scratch);
}

// Prints one piece of the page file, with the credit link before the first
// closing html tag (lower case preferred, then upper case).
static void print_page_line(const PageInput& input, char* line) {
  char* tag = nullptr;
  if (input.credit_link) {
    tag = strstr(line, "</html>");
    if (tag == nullptr) tag = strstr(line, "</HTML>");
  }
  if (tag == nullptr) {
    page_printf(input, "%s", line);
    return;
  }
  *tag = '\0';
  page_printf(input, "%s%s<%s", line, credit_link, tag + 1);
}

// The built-in list of the missing page.
static void print_missing_list(const PageInput& input) {
  if (input.missing_fields == nullptr) return;
  print_text("Please fill in: ");
  print_escaped_value(input.missing_fields);
  print_text(".\n");
}

// The built-in page for a page file that cannot be read: it says whether
// the message was sent (and what is missing); the path and the reason go to
// the log only.
static void report_unreadable(const PageInput& input, const PageKind& kind, const char* path,
                              int error, char* line) {
  snprintf(line, kLineArea,
           "\"%s\" message file (%s) is not readable for the reason (%d)(%s).%s",
           kind.setting_name, path, error, strerror(error),
           strncmp(path, "http", 4) == 0
               ? " The setting is not a web address setting, it is a local file name setting."
               : "");
  print_text(kind.head);
  print_missing_list(input);
  print_text("</BODY></HTML>\n");
  log_event(LOG_ERROR, "%s", line);
}

static void send_reply(const PageInput& input, const PageKind& kind, const char* path) {
  char line[kLineArea];
  print_text("Pragma: no-cache\n");
  print_text("Content-type: text/html\n\n");
  if (path == nullptr) {
    snprintf(line, kLineArea, "\"%s\" message file is not set in quillon ini file.",
             kind.setting_name);
    print_text(kind.head);
    print_text(line);
    print_text("</BODY></HTML>\n");
    log_event(LOG_ERROR, "%s", line);
    return;
  }
  FILE* file = fopen(path, "r");
  if (file == nullptr) {
    report_unreadable(input, kind, path, errno, line);
    return;
  }
  // Where a directory opens like a file, its first read fails: answer as for
  // a file that cannot be opened rather than with an empty page.
  errno = 0;
  if (fgets(line, kLineReadLimit, file) == nullptr) {
    int error = errno;
    bool failed = ferror(file) != 0;
    fclose(file);
    if (failed) report_unreadable(input, kind, path, error != 0 ? error : EIO, line);
    return;
  }
  do {
    print_page_line(input, line);
  } while (fgets(line, kLineReadLimit, file) != nullptr);
  fclose(file);
}

void send_method_not_allowed_reply() {
  print_text("Status: 405 Method Not Allowed\n");
  print_text("Allow: POST\n");
  print_text("Pragma: no-cache\n");
  print_text("Content-type: text/html\n\n");
  print_text("<HTML><BODY>\nThis address takes form submissions (POST) only: "
             "nothing was sent.\n</BODY></HTML>\n");
}

void send_unknown_form_reply() {
  print_text("Status: 404 Not Found\n");
  print_text("Pragma: no-cache\n");
  print_text("Content-type: text/html\n\n");
  print_text("<HTML><BODY>\nThere is no such form here: nothing was sent.\n</BODY></HTML>\n");
}

void send_success_reply(const Settings& settings, const PageInput& input) {
  send_reply(input, kSuccessPage, settings.success_html_page);
}

void send_failure_reply(const Settings& settings, const PageInput& input) {
  send_reply(input, kFailurePage, settings.failure_html_page);
}

void send_missing_reply(const Settings& settings, const PageInput& input) {
  if (settings.missing_html_page != nullptr) {
    send_reply(input, kMissingPage, settings.missing_html_page);
    return;
  }
  // The page is optional: without it the built-in one is no error.
  print_text("Pragma: no-cache\n");
  print_text("Content-type: text/html\n\n");
  print_text(kMissingPage.head);
  print_missing_list(input);
  print_text("</BODY></HTML>\n");
}
