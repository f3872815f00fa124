#include "compose/envelope.h"

#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "base/program.h"

bool is_address_char(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
         (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-' ||
         c == '+';
}

static char* copy_address(const char* start, size_t length) {
  // Five spare bytes, as every address block has had; only one is needed.
  char* address = static_cast<char*>(malloc(length + 5));
  if (address == nullptr) fatal_reply(kOutOfMemory);
  memcpy(address, start, length);
  address[length] = '\0';
  return address;
}

// What ends a word of a header text or value: blanks, line ends and the
// punctuation around an address ("Name" <a@b>, (a@b), a@b, c@d; To:a@b).
static bool is_word_end(unsigned char c) {
  return c == '\0' || c == ' ' || c == '\t' || c == '\r' || c == '\n' ||
         strchr("<>(),;:\"[]", c) != nullptr;
}

// The characters RFC 5321 allows unquoted in a local part besides letters,
// digits and dots.
static bool is_local_char(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         (c != '\0' && strchr(".!#$%&'*+-/=?^_`{|}~", c) != nullptr);
}

enum AddressWord { kNotAddress, kAddress, kNotAscii };

// Whether the word of `length` bytes at `word` is one whole address: one
// "@" with a local part of RFC 5321's characters before it and a domain of
// letters, digits, ".", "_", "-" and "+" after it. An address whose local
// part holds bytes above 127 is told apart: it needs SMTPUTF8 on every
// server on its way.
static AddressWord judge_word(const char* word, size_t length) {
  const char* at = static_cast<const char*>(memchr(word, '@', length));
  if (at == nullptr || at == word || at + 1 == word + length) return kNotAddress;
  bool wide = false;
  for (const char* p = word; p < at; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c >= 128) {
      wide = true;
    } else if (!is_local_char(c)) {
      return kNotAddress;
    }
  }
  for (const char* p = at + 1; p < word + length; ++p) {
    if (!is_address_char(static_cast<unsigned char>(*p))) return kNotAddress;
  }
  return wide ? kNotAscii : kAddress;
}

// Finds the first word of `text` that is one whole address: its start and
// length. False when there is none; *not_ascii then tells whether a word
// was an address but for bytes above 127 in its local part. A word is
// taken whole or not at all, never cut to a tail that is another's address.
static bool find_address(const char* text, const char** found, size_t* length,
                         bool* not_ascii = nullptr) {
  if (not_ascii != nullptr) *not_ascii = false;
  const char* p = text;
  for (;;) {
    while (*p != '\0' && is_word_end(static_cast<unsigned char>(*p))) ++p;
    if (*p == '\0') return false;
    const char* start = p;
    while (!is_word_end(static_cast<unsigned char>(*p))) ++p;
    AddressWord kind = judge_word(start, static_cast<size_t>(p - start));
    if (kind == kAddress) {
      *found = start;
      *length = static_cast<size_t>(p - start);
      return true;
    }
    if (kind == kNotAscii && not_ascii != nullptr) *not_ascii = true;
  }
}

// Whether an address of `length` bytes at `start` is within what SMTP
// carries; a longer one would not fit the server's command line.
static bool address_fits(const char* start, size_t length) {
  const char* at = static_cast<const char*>(memchr(start, '@', length));
  size_t local = at != nullptr ? static_cast<size_t>(at - start) : length;
  return length <= kMaxAddressLength && local <= kMaxLocalPart;
}

char* scan_address(const char* text, bool* too_long) {
  if (text == nullptr) text = "";
  const char* start = nullptr;
  size_t length = 0;
  bool not_ascii = false;
  if (!find_address(text, &start, &length, &not_ascii)) {
    if (not_ascii) {
      log_event(LOG_DEBUG, "no email address in this line (%s): an address with letters "
                "outside ASCII before its @ is not used", log_quote(0, text));
    } else {
      log_event(LOG_DEBUG, "no email address in this line (%s)", log_quote(0, text));
    }
    return nullptr;
  }
  if (!address_fits(start, length)) {
    log_event(LOG_ERROR,
              "an address of %d characters beginning {%.40s} is longer than %d characters "
              "(or %d before the @): refused.",
              static_cast<int>(length), log_quote(0, start), static_cast<int>(kMaxAddressLength),
              static_cast<int>(kMaxLocalPart));
    if (too_long != nullptr) *too_long = true;
    return nullptr;
  }
  return copy_address(start, length);
}

char* reply_to_address(const char* value, const char** why) {
  if (value == nullptr) value = "";
  const char* start = nullptr;
  size_t length = 0;
  bool not_ascii = false;
  if (strpbrk(value, "\r\n,") != nullptr) {
    *why = "it holds a line break or a comma";
  } else if (!find_address(value, &start, &length, &not_ascii)) {
    *why = not_ascii ? "its address has letters outside ASCII before the @, which not every "
                       "mail server on the way takes"
                     : "it holds no address";
  } else {
    const char* second = nullptr;
    size_t second_length = 0;
    if (find_address(start + length, &second, &second_length)) {
      *why = "it holds more than one address";
    } else if (!address_fits(start, length)) {
      *why = "its address is too long";
    } else {
      return copy_address(start, length);
    }
  }
  return nullptr;
}

// Prefix comparison over exactly `count` characters, ASCII case ignored; a
// text shorter than that differs at its NUL.
static bool prefix_matches(const char* text, const char* name, int count) {
  return ascii_equal_n(text, name, static_cast<size_t>(count));
}


// match_header, telling in *from_value whether the address came from the
// value rather than the text.
static bool match_header_from(const char* text, const char* value, const char* name,
                              int count, char** slot, bool* from_value,
                              bool* too_long = nullptr) {
  *from_value = false;
  if (text == nullptr || !prefix_matches(text, name, count)) return false;
  // A static line carries its address in the text; a line naming a
  // submitted variable has only the name there and the address in the value.
  *slot = scan_address(text, too_long);
  if (*slot == nullptr && value != nullptr) {
    *slot = scan_address(value, too_long);
    *from_value = *slot != nullptr;
  }
  return *slot != nullptr;
}

bool match_header(const char* text, const char* value, const char* name,
                  int count, char** slot) {
  bool from_value;
  return match_header_from(text, value, name, count, slot, &from_value);
}

struct AddressHeader {
  const char* name;  // with its colon; the bare name is one character shorter
  char* Envelope::*slot;
};

// Tried in this order; the first entry of each kind with an address wins.
static const AddressHeader kAddressHeaders[] = {
    {"From:", &Envelope::from},
    {"To:", &Envelope::to},
    {"CC:", &Envelope::cc},
    {"BCC:", &Envelope::bcc},
};

bool classify_header(Envelope* envelope, bool bare_too, const char* text, const char* value) {
  if (text == nullptr) return false;
  for (const AddressHeader& header : kAddressHeaders) {
    char** slot = &(envelope->*header.slot);
    if (*slot != nullptr) continue;
    int count = static_cast<int>(strlen(header.name));
    bool from_value = false;
    bool* too_long = &envelope->address_too_long;
    if (match_header_from(text, value, header.name, count, slot, &from_value, too_long) ||
        (bare_too && match_header_from(text, value, header.name, count - 1, slot, &from_value,
                                       too_long))) {
      if (from_value && header.slot != &Envelope::from) envelope->recipient_from_form = true;
      if (!from_value && header.slot == &Envelope::from) envelope->sender_from_settings = true;
      return true;
    }
  }
  if (prefix_matches(text, "Subject:", 8) ||
      (bare_too && prefix_matches(text, "Subject", 7))) {
    envelope->subject_found = true;
    return true;
  }
  return false;
}

void envelope_free(Envelope* envelope) {
  free(envelope->from);
  free(envelope->to);
  free(envelope->cc);
  free(envelope->bcc);
  *envelope = Envelope();
}
