#pragma once
// Sender, recipients and subject, found among the header entries.

#include "smtp/dialogue.h"  // the Envelope they fill

// Whether `c` may stand in an address: letters, digits, ".", "_", "-", "+".
bool is_address_char(unsigned char c);

// A new heap string with the first e-mail address in `text`, or null (and a
// debug line "no email address in this line (...)").
char* scan_address(const char* text);

// The address of a Reply-To header: a heap copy of the one address `value`
// holds (scanned as scan_address does), or null with `why` saying what is
// wrong: no address, more than one, or a CR, LF or comma in the value.
char* reply_to_address(const char* value, const char** why);

// If `text` begins with `name` (first `count` characters, ASCII case ignored),
// fills *slot from the text, else from the value. Returns 1 when *slot now
// holds an address.
int match_header(const char* text, const char* value, const char* name,
                 int count, char** slot);

// Whether classify_header took a To, CC or BCC address from a submitted
// value rather than from the settings line's own text.
extern bool g_recipient_from_form;

// Whether classify_header took the From address from a settings line's own
// text (a fixed `headerline`), so that no visitor chose it.
extern bool g_sender_from_settings;

// Classifies one header entry, filling g_envelope. Returns 1 when accepted
// as From, To, CC, BCC or Subject, 0 otherwise; of an accepted entry all but
// the BCC one are written into the header block.
int classify_header(const char* text, const char* value);

// Frees the addresses and empties g_envelope (tests, and -resend between
// messages).
void envelope_reset();
