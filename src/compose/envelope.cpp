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

// States of the address scanner.
enum {
  kBetweenWords = 100,
  kLocalPart = 200,
  kAfterAt = 300,
  kDomain = 400,
};

// Finds the first address in `text`: its start and length. False when
// there is none.
static bool find_address(const char* text, const char** found, size_t* length) {
  int state = kBetweenWords;
  const char* start = nullptr;
  // The terminating NUL is scanned too: it is a separator, so an address
  // that runs to the end of the text is still closed off.
  for (const char* p = text;; ++p) {
    unsigned char ch = static_cast<unsigned char>(*p);
    bool word = is_address_char(ch);
    if (state == kDomain && !word) {
      *found = start;
      *length = static_cast<size_t>(p - start);
      return true;
    }
    if (state == kAfterAt) state = word ? kDomain : kBetweenWords;
    if (state == kLocalPart && !word) {
      state = ch == '@' ? kAfterAt : kBetweenWords;
    }
    if (state == kBetweenWords && word) {
      start = p;
      state = kLocalPart;
    }
    if (ch == '\0') return false;
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
  if (!find_address(text, &start, &length)) {
    log_event(LOG_DEBUG, "no email address in this line (%s)", log_quote(0, text));
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
  if (strpbrk(value, "\r\n,") != nullptr) {
    *why = "it holds a line break or a comma";
  } else if (!find_address(value, &start, &length)) {
    *why = "it holds no address";
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
