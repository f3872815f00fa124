#pragma once
// The log: one timestamped line per event, appended to the log file.

#include "base/log_line.h"
#include "base/text.h"
#include "platform/os.h"

// output_scratch and its spill area: the log's messages only (the reply
// pages format in an area of their own).
extern FormatArea g_output_format;

// A run's outcome line: an error-level line still written when the log is
// over log_max_kb (not at twice that).
constexpr int LOG_OUTCOME = 3;

// Appends "<timestamp> - pid(<pid>) - <message>\n" to the log file, where the
// message is `format` applied to the arguments. Returns without a word when
// the level is not to be written or the file cannot be opened.
void log_event(int level, const char* format, ...) QUILLON_PRINTF(2, 3);

// Formats a local time as the log does, e.g. "1st January 2027,  0:05:09 am",
// into `out`.
void log_format_timestamp(const OsLocalTime& time, TextBuffer* out);

// Outside text (the form's, the web server's) quoted in a log line must not
// start a line of its own: CR and LF are written as \r and \n, the other
// control characters (below 0x20 but TAB, and 0x7F) as \xNN; all other
// bytes stay as they are. Appends `length` bytes of `text` so escaped.
void log_escape_append(TextBuffer* out, const char* text, size_t length);

// `text` (null allowed: "(null)") escaped as above, for a log_event
// argument: `text` itself when nothing needs escaping, else a copy in one of
// kLogQuoteSlots areas that stays valid until `slot` is used again.
constexpr int kLogQuoteSlots = 4;
const char* log_quote(int slot, const char* text);

// Walking an escaped copy alongside its original: how many bytes of the
// copy, from `copy` on, stand for the original's byte `c` (1 when the byte
// was copied as it is, else the length of its escape; 0 at the copy's end).
int log_copy_width(const char* copy, char c);
