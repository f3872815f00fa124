#pragma once
// Assembly of the header and body blocks, and the decision to send.

#include "base/text.h"
#include "smtp/transport.h"  // SmtpOptions

struct Message {
  TextBuffer* header;  // accepted header lines, then the trailer line
  TextBuffer* body;    // body lines, then the optional variable list
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
// line. Caller owns it.
TextBuffer* build_header_block(const char* body = nullptr);

// Fills a new body block from body_lines and, with "sendall true", the list
// of all submitted variables. Caller owns it.
TextBuffer* build_body_block();

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
