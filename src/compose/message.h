#pragma once
// Assembly of the header and body blocks, and the decision to send.

#include "base/text.h"

struct Message {
  TextBuffer* header;  // accepted header lines, then the trailer line
  TextBuffer* body;    // body lines, then the optional variable list
  // The log's copies of the two: outside text with its line breaks and
  // control characters escaped (log_escape_append), the program's own line
  // ends kept.
  TextBuffer* header_shown;
  TextBuffer* body_shown;
};
extern Message g_message;

// A body label this long or longer leaves its entry out of the body.
constexpr int kMaxBodyLabel = 499;

// Fills a new header block from header_lines, classifying each entry into
// g_envelope. The BCC entry fills the envelope but is not written, and CR and
// LF in a value become blanks. Logs "generated headers {...}". Caller owns it,
// and the log's copy in *shown when `shown` is not null.
TextBuffer* build_header_block(TextBuffer** shown = nullptr);

// Fills a new body block from body_lines and, with "sendall true", the list
// of all submitted variables. Caller owns it, and the log's copy in *shown
// when `shown` is not null.
TextBuffer* build_body_block(TextBuffer** shown = nullptr);

// Builds both blocks into g_message and, when From, To and Subject were
// found, hands the mail to smtp_dialogue. Returns 1 when it reported the mail
// as sent, 0 otherwise (the reason is logged).
int assemble_and_send();

// Frees the blocks of g_message and empties it (tests only).
void message_reset();
