#pragma once
// The pieces of a complete Internet message: the Date value, quoted-printable
// bodies and header values written as UTF-8 encoded words.

#include <cstddef>

#include "base/text.h"
#include "platform/os.h"

// No line of a message may be longer than this, line end not counted.
constexpr size_t kMaxMessageLine = 998;

// Writes "Wed, 09 Dec 2026 14:03:07 +0100" for `time` into `out` (at least
// 32 bytes).
void format_mail_date(const OsZonedTime& time, char* out, size_t size);

// Whether `body` can travel as 7bit: ASCII without NUL, a CR only as part of
// a CR LF, and no line longer than kMaxMessageLine.
bool body_is_7bit(const char* body);

// Appends `body` quoted-printable encoded, each encoded line at most 76
// characters. A line of `body` ends at LF (at CR LF when `eol` is CR LF);
// each line end is written as `eol`. Every other byte is data.
void append_quoted_printable(TextBuffer* out, const char* body, const char* eol);

// Appends `length` bytes of `text` as UTF-8 encoded words, the first on the
// current line and each further one on a continuation line (`eol` and a
// blank). A UTF-8 character is never split between two words.
void append_encoded_words(TextBuffer* out, const char* text, size_t length, const char* eol);

// Whether the header named by the `length` characters of `name` holds
// addresses (From, To, Cc, Bcc, Reply-To, Sender; case ignored).
bool is_address_field(const char* name, size_t length);

// Appends one header line (`line` holds no line end) and `eol`. A line with
// bytes above 127, or longer than kMaxMessageLine, has its value written as
// UTF-8 encoded words, folded onto continuation lines; in an address field
// (From, To, Cc, Bcc, Reply-To, Sender) only the words around the addresses
// are encoded, and the addresses are left alone.
void append_header_line_encoded(TextBuffer* out, const char* line, const char* eol);
