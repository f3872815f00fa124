#pragma once
// The success and failure pages sent to the browser.

#include "base/text.h"

// The credit link put in front of a page's closing html tag.
extern const char credit_link[];

void send_success_reply();
void send_failure_reply();

// The answer to a request that carried no form (a method other than POST):
// a 405 status, an Allow header and a short built-in page.
void send_method_not_allowed_reply();

// Formats into the page's own 64000-byte area (not the log's, so a token
// that logs cannot overwrite the line being printed) and prints the text
// through expand_tokens. A text longer than 63000 characters is dropped.
void page_printf(const char* format, ...) QUILLON_PRINTF(1, 2);

// Prints `text` with each ||name|| token replaced by the HTML-escaped value
// of the submitted variable `name`; cuts `text` in place.
void expand_tokens(char* text);

// Prints `value` to stdout with & < > " ' escaped as HTML entities.
void print_escaped_value(const char* value);
