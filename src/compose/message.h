#pragma once
// Assembly of the header and body blocks, and the decision to send.

#include "base/text.h"

struct Message {
  TextBuffer* header;  // accepted header lines, then the trailer line
  TextBuffer* body;    // body lines, then the optional variable list
};
extern Message g_message;

// Fills a new header block from header_lines (classifying each entry).
TextBuffer* build_header_block();

// Fills a new body block from body_lines and, with "sendall true", the list
// of all submitted variables.
TextBuffer* build_body_block();

// Builds both blocks and, when From, To and Subject were found, hands the
// mail to smtp_dialogue. Returns 1 when it reported the mail as sent.
int assemble_and_send();
