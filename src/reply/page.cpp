#include "reply/page.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "base/brand.h"
#include "base/log.h"
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

// The names behind ||quillon_missing_fields||, while the missing page is
// printed; null otherwise, when the token is a form field like any other.
static const char* missing_fields = nullptr;
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
// them by submitting a field of the same name. Empty until the run sets them.
struct ProgramToken {
  const char* name;
  const char* value;
};
static ProgramToken kProgramTokens[] = {
    {"quillon_spooled", ""},  // "yes": the message waits in the spool's queue
};

void set_program_token(const char* name, const char* value) {
  for (ProgramToken& token : kProgramTokens) {
    if (strcmp(token.name, name) == 0) token.value = value;
  }
}

// The value of a program token, or null when `name` is none.
static const char* program_token(const char* name) {
  if (strncmp(name, "quillon_", 8) != 0) return nullptr;
  for (const ProgramToken& token : kProgramTokens) {
    if (strcmp(token.name, name) == 0) return token.value;
  }
  return nullptr;
}

void expand_tokens(char* text) {
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
    if (missing_fields != nullptr && strcmp(name, kMissingFieldsToken) == 0) {
      value = missing_fields;
    }
    if (value == nullptr) value = program_token(name);
    print_escaped_value(value != nullptr ? value : form_value(name));
    rest = close + 2;
    if (*rest == '\0') return;
  }
}

// The page printer's own formatting area: a token whose expansion logs
// cannot overwrite the line being printed.
static char page_scratch[kScratchSize];

void page_printf(const char* format, ...) {
  char* scratch = page_scratch;
  va_list args;
  va_start(args, format);
  int n = vsnprintf(scratch, kScratchLimit + 1, format, args);
  va_end(args);
  if (n <= 0 || n > kScratchLimit) return;
  expand_tokens(scratch);
}

// Prints one piece of the page file, with the credit link before the first
// closing html tag (lower case preferred, then upper case).
static void print_page_line(char* line) {
  char* tag = nullptr;
  if (g_settings.add_zolvar_link) {
    tag = strstr(line, "</html>");
    if (tag == nullptr) tag = strstr(line, "</HTML>");
  }
  if (tag == nullptr) {
    page_printf("%s", line);
    return;
  }
  *tag = '\0';
  page_printf("%s%s<%s", line, credit_link, tag + 1);
}

// The built-in list of the missing page.
static void print_missing_list() {
  if (missing_fields == nullptr) return;
  print_text("Please fill in: ");
  print_escaped_value(missing_fields);
  print_text(".\n");
}

static void report_unreadable(const PageKind& kind, const char* path, int error,
                              char* line) {
  snprintf(line, kLineArea,
           "\"%s\" message file (%s) is not readable for the reason (%d)(%s).",
           kind.setting_name, path, error, strerror(error));
  print_text(kind.head);
  print_missing_list();
  print_text(line);
  if (strncmp(path, "http", 4) == 0) {
    print_text("The setting is not a web address setting, it is a local file name setting.\n");
  }
  print_text("</BODY></HTML>\n");
  log_event(LOG_ERROR, "%s", line);
}

static void send_reply(const PageKind& kind, const char* path) {
  static char line[kLineArea];
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
    report_unreadable(kind, path, errno, line);
    return;
  }
  // Where a directory opens like a file, its first read fails: answer as for
  // a file that cannot be opened rather than with an empty page.
  errno = 0;
  if (fgets(line, kLineReadLimit, file) == nullptr) {
    int error = errno;
    bool failed = ferror(file) != 0;
    fclose(file);
    if (failed) report_unreadable(kind, path, error != 0 ? error : EIO, line);
    return;
  }
  do {
    print_page_line(line);
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

void send_success_reply() { send_reply(kSuccessPage, g_settings.success_html_page); }

void send_failure_reply() { send_reply(kFailurePage, g_settings.failure_html_page); }

void send_missing_reply(const char* fields) {
  missing_fields = fields;
  if (g_settings.missing_html_page != nullptr) {
    send_reply(kMissingPage, g_settings.missing_html_page);
  } else {
    // The page is optional: without it the built-in one is no error.
    print_text("Pragma: no-cache\n");
    print_text("Content-type: text/html\n\n");
    print_text(kMissingPage.head);
    print_missing_list();
    print_text("</BODY></HTML>\n");
  }
  missing_fields = nullptr;
}
