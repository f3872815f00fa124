#pragma once
// The success, failure and missing-fields pages sent to the browser. May
// use src/config, src/form, src/base and src/platform. Errors: a page file
// that cannot be read is answered with a built-in page and an error line;
// nothing here fails otherwise. The visitor's page never shows a server
// path or an error number: those go to the log.

#include "base/text.h"
#include "config/settings.h"
#include "form/form.h"

// What a page's ||name|| tokens and credit link come from.
struct PageInput {
  const FormTable* form;       // submitted values; null: every field is ""
  bool credit_link;            // add_zolvar_link
  const char* missing_fields;  // the names behind ||quillon_missing_fields||, or null
  const char* spooled;         // ||quillon_spooled||: "yes" when the message waits in the spool
  const char* outcome;         // ||quillon_outcome||: the JSON answer's outcome word
  const char* message;         // ||quillon_message||: the JSON answer's message
};

// The credit link put in front of a page's closing html tag.
extern const char credit_link[];

void send_success_reply(const Settings& settings, const PageInput& input);
void send_failure_reply(const Settings& settings, const PageInput& input);

// The page for a submission without its required fields: the
// missing_html_page file, where ||quillon_missing_fields|| stands for
// input.missing_fields (the missing names, HTML-escaped), or a built-in
// page listing them.
void send_missing_reply(const Settings& settings, const PageInput& input);
// The answer to a request that carried no form (a method other than POST):
// a 405 status, an Allow header and a short built-in page.
void send_method_not_allowed_reply();

// The plain 404 page of a path that names no form of this install.
void send_unknown_form_reply();

// Formats into the page's own 64000-byte area (not the log's, so a token
// that logs cannot overwrite the line being printed) and prints the text
// through expand_tokens. A text longer than 63000 characters is dropped.
void page_printf(const PageInput& input, const char* format, ...) QUILLON_PRINTF(2, 3);

// Prints `text` with each ||name|| token replaced by the HTML-escaped value
// of the program token `name` (names beginning with "quillon_": see
// kProgramTokens in page.cpp) or else of the submitted variable `name`;
// cuts `text` in place.
void expand_tokens(const PageInput& input, char* text);

// Prints `value` to stdout with & < > " ' escaped as HTML entities.
void print_escaped_value(const char* value);
