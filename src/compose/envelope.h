#pragma once
// Sender, recipients and subject, found among the header entries.

#include <cstddef>

// The envelope of the message: filled while the header lines are
// classified, handed to the delivery. Owns its addresses (envelope_free).
struct Envelope {
  char* from;  // bare addresses, or null
  char* to;
  char* cc;
  char* bcc;
  bool subject_found;
  // A To, CC or BCC address was taken from a submitted value rather than
  // from the settings line's own text.
  bool recipient_from_form;
  // The From address came from a settings line's own text (a fixed
  // `headerline`), so that no visitor chose it.
  bool sender_from_settings;
  // An address longer than kMaxAddressLength (or its local part longer
  // than kMaxLocalPart) was found: the submission is refused.
  bool address_too_long;
};

// The longest address and local part SMTP carries (RFC 5321 with its
// errata): a longer one is refused where it is found, before any guard.
constexpr size_t kMaxAddressLength = 254;
constexpr size_t kMaxLocalPart = 64;

// Whether `c` may stand in an address's domain: letters, digits, ".", "_",
// "-", "+".
bool is_address_char(unsigned char c);

// A new heap string with the first word of `text` that is one whole e-mail
// address (words end at blanks, line ends and <>(),;:"[]), or null (and a
// debug line "no email address in this line (...)"). A word is never cut:
// o'brien@x.test is taken whole, jürgen@web.de (bytes above 127 before the
// @) not at all. An address over the limits above gives null with an error
// line, and *too_long set (when given).
char* scan_address(const char* text, bool* too_long = nullptr);

// The address of a Reply-To header: a heap copy of the one address `value`
// holds (scanned as scan_address does), or null with `why` saying what is
// wrong: no address, more than one, one over the limits above, or a CR, LF
// or comma in the value.
char* reply_to_address(const char* value, const char** why);

// If `text` begins with `name` (first `count` characters, ASCII case ignored),
// fills *slot from the text, else from the value. Returns whether *slot now
// holds an address.
bool match_header(const char* text, const char* value, const char* name,
                 int count, char** slot);

// Classifies one header entry, filling `envelope`. With `bare_too`
// (add_headerline_colon) the names also match without their colon. Returns
// whether it was accepted as From, To, CC, BCC or Subject; of an accepted
// entry all but the BCC one are written into the header block.
bool classify_header(Envelope* envelope, bool bare_too, const char* text, const char* value);

// Frees the addresses and empties the envelope.
void envelope_free(Envelope* envelope);
