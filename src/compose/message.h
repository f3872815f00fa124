#pragma once
// Assembly of the header and body blocks, and the decision to send.

#include <cstddef>

#include "base/text.h"
#include "smtp/transport.h"  // SmtpOptions

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

// The line ending of every message line and SMTP command: CR LF in the TLS
// modes, else the email_CR setting's.
const char* message_line_ending();

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

// Hands the delivery settings to the SMTP layer (smtp_set_options): line
// ending, greeting, time limit, security mode, CA file, the name the
// server's certificate must carry, and the credentials (the password from
// smtp_password_file when set). Returns 1, or 0 after an error line when
// they cannot be used: a user without a password or the reverse, a user
// without TLS, a password file that cannot be read or whose first line is
// empty.
int apply_smtp_settings();

// Builds both blocks into g_message (with standard_headers, a body that is
// not 7bit is quoted-printable encoded) and, when From, To and Subject were
// found and the recipients and the rate limit allow it, hands the mail to
// smtp_dialogue (through the spool, when one is set). Returns 1 when it reported the mail
// as sent, 0 otherwise (the reason is logged).
int assemble_and_send();

// Frees the blocks of g_message and empties it (tests only).
void message_reset();
