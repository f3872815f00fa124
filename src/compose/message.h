#pragma once
// Assembly of the header and body blocks, and the decision to send.

#include <cstddef>

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
// LF in a value become blanks. Then the optional Reply-To and, with
// standard_headers, Date, Message-ID and the MIME headers (`body`, the body
// block the header goes with, decides the Content-Transfer-Encoding; null
// counts as empty). Logs "generated headers {...}", then adds the trailer
// line. Caller owns it, and the log's copy in *shown when `shown` is not
// null.
TextBuffer* build_header_block(TextBuffer** shown = nullptr, const char* body = nullptr);

// Fills a new body block from body_lines and, with "sendall true", the list
// of all submitted variables. Caller owns it, and the log's copy in *shown
// when `shown` is not null.
TextBuffer* build_body_block(TextBuffer** shown = nullptr);

// The most characters a line of the message holds before its line end
// (SMTP takes 1000 octets with CR LF).
constexpr size_t kMaxLineLength = 998;

// Breaks every line of a finished block that holds more than kMaxLineLength
// characters (counting the "." that dot-stuffing adds to a line beginning
// with one), with `eol` as the inserted line end. A header line is folded at
// the last blank that fits, the blank starting the continuation line, or
// where there is none broken with an inserted blank; a body line is broken
// into pieces. No UTF-8 character is split. `shown`, the block's log copy
// (or null), is changed in step; a break inside submitted text shows there
// escaped. A separate step, so a mode that encodes long lines can skip it.
void limit_line_lengths(TextBuffer* block, TextBuffer* shown, const char* eol, bool header);

// Builds both blocks into g_message (with standard_headers, a body that is
// not 7bit is quoted-printable encoded). Returns true when From, To and
// Subject were found and the recipients and the rate limit allow the mail
// to go; false otherwise (the reason is logged).
bool assemble_message();

// Frees the blocks of g_message and empties it (tests only).
void message_reset();
