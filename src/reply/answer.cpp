#include "reply/answer.h"

#include <cstdio>
#include <cstring>

#include "base/json.h"
#include "base/text.h"
#include "config/origin.h"
#include "reply/accept.h"
#include "reply/language.h"
#include "reply/page.h"

// How long a browser may keep a preflight's answer, in seconds.
constexpr int kPreflightMaxAge = 600;
// Room for a page's path in a language.
constexpr int kPageLanguagePath = 4096;

struct OutcomeMessage {
  Outcome outcome;
  const char* message;  // the JSON answer's "message"
};

static const OutcomeMessage kMessages[] = {
    {Outcome::kSent, "Thank you: your message was sent."},
    {Outcome::kSpooled, "Thank you: your message was received and will be sent shortly."},
    {Outcome::kMissing, "Please fill in the required fields."},
    {Outcome::kRefused, "This form does not take this submission."},
    {Outcome::kCaptchaFailed, "The check that you are not a robot failed."},
    {Outcome::kCaptchaUnreachable,
     "The check that you are not a robot could not be made; please try again later."},
    {Outcome::kRateLimited, "Too many submissions; please try again later."},
    {Outcome::kTooLarge, "The submission is too large."},
    {Outcome::kUnsupported, "The submission is of a kind this form does not take."},
    {Outcome::kMalformed, "The submission could not be read."},
    {Outcome::kServerRefused, "The mail server did not take the message; it was not sent."},
    {Outcome::kServerUnreachable, "The mail server could not be reached; nothing was sent."},
    {Outcome::kNotConfigured, "The form is not set up to send mail; nothing was sent."},
    {Outcome::kServerError, "Something went wrong on the server; nothing was sent."},
    {Outcome::kSpam, "This form does not take this message; it was not sent."},
    {Outcome::kInfected, "An attached file holds malware; nothing was sent."},
    {Outcome::kScanUnavailable,
     "The attached files could not be checked; nothing was sent. Please try again later."},
    {Outcome::kUnknownForm, "There is no such form here; nothing was sent."},
};

static const char* outcome_message(Outcome outcome) {
  for (const OutcomeMessage& entry : kMessages) {
    if (entry.outcome == outcome) return entry.message;
  }
  return "";
}


static void append_missing_array(TextBuffer* out, const FieldNames* missing) {
  text_buffer_append(out, "[");
  for (int i = 0; missing != nullptr && i < missing->count; ++i) {
    if (i > 0) text_buffer_append(out, ", ");
    json_append_string(out, missing->items[i], strlen(missing->items[i]));
  }
  text_buffer_append(out, "]");
}

// The JSON object with `message` as its "message".
static void append_json_object(TextBuffer* out, Outcome outcome, const char* message,
                               const FieldNames* missing, const char* id) {
  const OutcomeInfo& info = outcome_info(outcome);
  text_buffer_append(out, "{\"ok\": %s, \"outcome\": ", info.ok ? "true" : "false");
  json_append_string(out, info.word, strlen(info.word));
  text_buffer_append(out, ", \"message\": ");
  json_append_string(out, message, strlen(message));
  text_buffer_append(out, ", \"missing\": ");
  append_missing_array(out, outcome == Outcome::kMissing ? missing : nullptr);
  if (id != nullptr) {
    text_buffer_append(out, ", \"id\": ");
    json_append_string(out, id, strlen(id));
  }
  text_buffer_append(out, "}\n");
}

void append_json_answer(TextBuffer* out, Outcome outcome, const FieldNames* missing,
                        const char* id) {
  append_json_object(out, outcome, outcome_message(outcome), missing, id);
}

const char* cors_origin(const Settings& settings, const char* origin) {
  const SettingList& allowed = settings.allowed_origins;
  if (origin == nullptr || allowed.count == 0) return nullptr;
  for (const char* p = origin; *p != '\0'; ++p) {
    if (*p <= ' ' || *p >= 0x7f) return nullptr;
  }
  WebOrigin parsed;
  if (!web_origin_parse(origin, &parsed)) return nullptr;
  return origin_allowed(allowed.items, allowed.count, parsed) ? origin : nullptr;
}

static void print_cors_headers(const Settings* settings, const Request& request) {
  const char* origin = settings != nullptr ? cors_origin(*settings, request.origin) : nullptr;
  if (origin == nullptr) return;
  printf("Access-Control-Allow-Origin: %s\nVary: Origin\n", origin);
}

void append_whole_json_answer(TextBuffer* out, Outcome outcome, const Settings* settings,
                              const Request& request, const char* id) {
  const char* origin = settings != nullptr ? cors_origin(*settings, request.origin) : nullptr;
  if (origin != nullptr) {
    text_buffer_append(out, "Access-Control-Allow-Origin: %s\nVary: Origin\n", origin);
  }
  const OutcomeInfo& info = outcome_info(outcome);
  text_buffer_append(out, "Status: %d %s\nPragma: no-cache\nContent-Type: application/json\n\n",
                     info.status, info.status_text);
  append_json_answer(out, outcome, nullptr, id);
}

static void print_status_line(Outcome outcome) {
  const OutcomeInfo& info = outcome_info(outcome);
  printf("Status: %d %s\n", info.status, info.status_text);
}

static void send_json_answer(Outcome outcome, const char* message, const FieldNames* missing,
                             const char* id) {
  print_status_line(outcome);
  printf("Pragma: no-cache\nContent-Type: application/json\n\n");
  TextBuffer* body = text_buffer_new("");
  append_json_object(body, outcome, message, missing, id);
  fwrite(body->data, 1, static_cast<size_t>(body->length), stdout);
  text_buffer_free(body);
}

// The redirect setting for `outcome`: the missing, success or failure one.
static const char* redirect_for(const Settings& settings, Outcome outcome) {
  if (outcome == Outcome::kMissing) return settings.missing_redirect;
  if (outcome == Outcome::kSent) return settings.success_redirect;
  return settings.failure_redirect;
}

static void send_redirect(const char* location) {
  printf("Status: 303 See Other\nLocation: %s\nPragma: no-cache\nContent-type: text/html\n\n",
         location);
  printf("<HTML><BODY>\n<a href=\"");
  print_escaped_value(location);
  printf("\">Continue</a>\n</BODY></HTML>\n");
}

// The names of `missing` as one text, ", " between them, each by its
// field_label where it has one (the caller frees it).
static TextBuffer* joined_names(const Settings* settings, const FieldNames* missing) {
  TextBuffer* joined = text_buffer_new("");
  for (int i = 0; missing != nullptr && i < missing->count; ++i) {
    const char* name = missing->items[i];
    const char* label = settings != nullptr ? settings_field_label(*settings, name) : nullptr;
    text_buffer_append(joined, "%s%s", i > 0 ? ", " : "", label != nullptr ? label : name);
  }
  return joined;
}

// The missing fields' message of a site with field labels: "Please fill
// in: " and the labels, into `out`; null without labels or missing names.
static const char* missing_message(const Settings* settings, const FieldNames* missing,
                                   TextBuffer* out) {
  if (settings == nullptr || settings->field_labels.count == 0 || missing == nullptr ||
      missing->count == 0) {
    return nullptr;
  }
  TextBuffer* joined = joined_names(settings, missing);
  text_buffer_append(out, "Please fill in: %s", joined->data);
  text_buffer_free(joined);
  return out->data;
}

// A built-in page in the answer's language: its message (and the missing
// names).
static void send_language_page(Outcome outcome, const char* message, const FieldNames* missing) {
  printf("Pragma: no-cache\nContent-type: text/html\n\n<HTML><BODY>\n");
  print_escaped_value(message);
  if (outcome == Outcome::kMissing && missing != nullptr && missing->count > 0) {
    TextBuffer* joined = joined_names(nullptr, missing);
    printf(" ");
    print_escaped_value(joined->data);
    text_buffer_free(joined);
  }
  printf("\n</BODY></HTML>\n");
}

// The settings with the pages of `tag` where their files exist: a copy
// that shares every text with `settings` and is never freed.
static Settings pages_in_language(const Settings& settings, const char* tag) {
  Settings copy = settings;
  if (tag == nullptr) return copy;
  static char paths[3][kPageLanguagePath];
  char** pages[] = {&copy.success_html_page, &copy.failure_html_page, &copy.missing_html_page};
  for (int i = 0; i < 3; ++i) {
    if (*pages[i] != nullptr && language_path(*pages[i], tag, paths[i], sizeof paths[i])) {
      FILE* file = fopen(paths[i], "r");
      if (file != nullptr) {
        fclose(file);
        *pages[i] = paths[i];
      }
    }
  }
  return copy;
}

// The answer once its language and message are chosen.
static void send_answer_as(Outcome outcome, const Settings* settings, const FormTable* form,
                           const FieldNames* missing, bool spooled, bool json, const char* tag,
                           const char* translated, const char* message, const char* id);

void send_answer(Outcome outcome, const Settings* settings, const FormTable* form,
                 const FieldNames* missing, bool spooled, const Request& request, const char* id) {
  print_cors_headers(settings, request);
  bool json = settings == nullptr || accept_prefers_json(request.accept);
  const char* tag = settings != nullptr ? answer_language(*settings, request, outcome, json)
                                        : nullptr;
  if (settings != nullptr && settings->languages.count > 0) {
    printf("Content-Language: %s\n", tag != nullptr ? tag : "en");
  }
  const char* translated = settings != nullptr ? language_message(*settings, tag, outcome)
                                               : nullptr;
  const char* message = translated != nullptr ? translated : outcome_message(outcome);
  TextBuffer* labelled = text_buffer_new("");
  if (translated == nullptr && outcome == Outcome::kMissing) {
    const char* fill_in = missing_message(settings, missing, labelled);
    if (fill_in != nullptr) message = fill_in;
  }
  send_answer_as(outcome, settings, form, missing, spooled, json, tag, translated, message, id);
  text_buffer_free(labelled);
}

static void send_answer_as(Outcome outcome, const Settings* settings, const FormTable* form,
                           const FieldNames* missing, bool spooled, bool json, const char* tag,
                           const char* translated, const char* message, const char* id) {
  if (json) {
    send_json_answer(outcome, message, missing, id);
    return;
  }
  const char* location = redirect_for(*settings, outcome);
  if (location != nullptr) {
    send_redirect(location);
    return;
  }
  if (settings->http_status) print_status_line(outcome);
  Settings pages = pages_in_language(*settings, tag);
  const char* page_file = outcome == Outcome::kMissing ? pages.missing_html_page
                          : outcome == Outcome::kSent  ? pages.success_html_page
                                                       : pages.failure_html_page;
  if (translated != nullptr && page_file == nullptr) {
    send_language_page(outcome, message, missing);
    return;
  }
  PageInput page = {form, settings->add_zolvar_link, nullptr, spooled ? "yes" : "",
                    outcome_info(outcome).word, message};
  if (outcome == Outcome::kMissing) {
    // The page shows the names as one text, ", " between them.
    TextBuffer* joined = joined_names(settings, missing);
    page.missing_fields = joined->data;
    send_missing_reply(pages, page);
    text_buffer_free(joined);
  } else if (outcome == Outcome::kSent) {
    send_success_reply(pages, page);
  } else {
    send_failure_reply(pages, page);
  }
}

bool send_preflight_answer(const Settings& settings, const Request& request) {
  const char* origin = cors_origin(settings, request.origin);
  if (origin == nullptr) return false;
  printf("Status: 204 No Content\nAccess-Control-Allow-Origin: %s\nVary: Origin\n"
         "Access-Control-Allow-Methods: POST\nAccess-Control-Allow-Headers: Content-Type, Accept\n"
         "Access-Control-Max-Age: %d\n\n",
         origin, kPreflightMaxAge);
  return true;
}
