#pragma once
// The success and failure pages sent to the browser.

#include "base/text.h"

// The credit link put in front of a page's closing html tag.
extern const char credit_link[];

void send_success_reply();
void send_failure_reply();

// The page for a submission without its required fields: the
// missing_html_page file, where ||quillon_missing_fields|| stands for
// `fields` (the missing names, HTML-escaped), or a built-in page listing
// them.
void send_missing_reply(const char* fields);
// The answer to a request that carried no form (a method other than POST):
// a 405 status, an Allow header and a short built-in page.
void send_method_not_allowed_reply();

// Formats into the page's own 64000-byte area (not the log's, so a token
// that logs cannot overwrite the line being printed) and prints the text
// through expand_tokens. A text longer than 63000 characters is dropped.
void page_printf(const char* format, ...) QUILLON_PRINTF(1, 2);

// Sets the value of a ||quillon_...|| token the program itself provides
// (see kProgramTokens in page.cpp); a name not in that table is ignored.
void set_program_token(const char* name, const char* value);

// Prints `text` with each ||name|| token replaced by the HTML-escaped value
// of the program token `name` (names beginning with "quillon_") or else of
// the submitted variable `name`; cuts `text` in place.
void expand_tokens(char* text);

// Prints `value` to stdout with & < > " ' escaped as HTML entities.
void print_escaped_value(const char* value);
