#include "compose/mime.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/base64.h"
#include "base/program.h"

namespace {

const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// An encoded word is at most 75 characters: "=?UTF-8?B?" and "?=" around at
// most 60 characters of base64, which is 45 bytes of text.
constexpr size_t kWordBytes = 45;
constexpr int kQpLineLimit = 76;  // the soft line break's "=" included

bool is_8bit(unsigned char c) { return c >= 128; }

bool has_8bit(const char* text, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (is_8bit(static_cast<unsigned char>(text[i]))) return true;
  }
  return false;
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

bool is_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// A word of a display name or comment: anything but an address.
bool is_phrase_word(const char* word, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (word[i] == '@' || word[i] == '<' || word[i] == '>') return false;
  }
  return true;
}

// The value of an address field: each run of words between addresses that
// holds bytes above 127 becomes encoded words (without the quotes of a
// quoted display name); the rest is copied.
void append_address_value(TextBuffer* out, const char* value, const char* eol) {
  const char* p = value;
  while (*p != '\0') {
    if (is_blank(*p)) {
      text_buffer_append_bytes(out, p++, 1);
      continue;
    }
    const char* word_end = p;
    while (*word_end != '\0' && !is_blank(*word_end)) ++word_end;
    if (!is_phrase_word(p, static_cast<size_t>(word_end - p))) {
      text_buffer_append(out, "%.*s", static_cast<int>(word_end - p), p);
      p = word_end;
      continue;
    }
    // The run of phrase words starting here, blanks between them included.
    const char* run_end = word_end;
    for (const char* next = word_end;;) {
      while (is_blank(*next)) ++next;
      const char* end = next;
      while (*end != '\0' && !is_blank(*end)) ++end;
      if (end == next || !is_phrase_word(next, static_cast<size_t>(end - next))) break;
      run_end = end;
      next = end;
    }
    size_t length = static_cast<size_t>(run_end - p);
    if (!has_8bit(p, length)) {
      text_buffer_append(out, "%.*s", static_cast<int>(length), p);
    } else if (length >= 2 && p[0] == '"' && run_end[-1] == '"') {
      append_encoded_words(out, p + 1, length - 2, eol);
    } else {
      append_encoded_words(out, p, length, eol);
    }
    p = run_end;
  }
}

// Bytes gathered on the stack and appended in runs, so that an encoding
// written a character at a time costs one copy per byte.
struct ByteRun {
  TextBuffer* out;
  int used;
  char bytes[4096];
};

void run_flush(ByteRun* run) {
  text_buffer_append_bytes(run->out, run->bytes, run->used);
  run->used = 0;
}

void run_put(ByteRun* run, const char* bytes, int length) {
  if (run->used + length > static_cast<int>(sizeof run->bytes)) run_flush(run);
  memcpy(run->bytes + run->used, bytes, static_cast<size_t>(length));
  run->used += length;
}

// One line of quoted-printable: `length` bytes without their line end.
void append_qp_line(ByteRun* run, const char* line, size_t length, const char* eol) {
  static const char kHex[] = "0123456789ABCDEF";
  int eol_length = static_cast<int>(strlen(eol));
  int column = 0;
  for (size_t i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(line[i]);
    bool last = i + 1 == length;
    bool literal = (c >= 33 && c <= 126 && c != '=') || ((c == ' ' || c == '\t') && !last);
    int width = literal ? 1 : 3;
    // Room for the "=" of a soft line break must stay, unless this is the
    // line's last character.
    int limit = last ? kQpLineLimit : kQpLineLimit - 1;
    if (column + width > limit) {
      run_put(run, "=", 1);
      run_put(run, eol, eol_length);
      column = 0;
    }
    if (literal) {
      run_put(run, &line[i], 1);
    } else {
      char escaped[3] = {'=', kHex[c >> 4], kHex[c & 15]};
      run_put(run, escaped, 3);
    }
    column += width;
  }
}

}  // namespace

bool is_address_field(const char* name, size_t length) {
  static const char* const kFields[] = {"From", "To", "Cc", "Bcc", "Reply-To", "Sender"};
  for (const char* field : kFields) {
    if (strlen(field) == length && ascii_equal_n(name, field, length)) return true;
  }
  return false;
}

void append_encoded_words(TextBuffer* out, const char* text, size_t length,
                          const char* eol) {
  char encoded[kWordBytes / 3 * 4 + 1];
  size_t at = 0;
  do {
    size_t end = at + kWordBytes < length ? at + kWordBytes : length;
    if (end < length) {
      // Back off to the start of the character the cut would split; bytes
      // that are not UTF-8 are cut where they stand.
      size_t cut = end;
      while (cut > at + 1 && end - cut < 3 && is_continuation(text[cut])) --cut;
      if (!is_continuation(text[cut])) end = cut;
    }
    base64_encode(text + at, end - at, encoded);
    if (at == 0) {
      text_buffer_append(out, "=?UTF-8?B?%s?=", encoded);
    } else {
      text_buffer_append(out, "%s =?UTF-8?B?%s?=", eol, encoded);
    }
    at = end;
  } while (at < length);
}


void format_mail_date(const OsZonedTime& time, char* out, size_t size) {
  int offset = time.utc_offset_minutes;
  char sign = offset < 0 ? '-' : '+';
  if (offset < 0) offset = -offset;
  int weekday = time.weekday >= 0 && time.weekday < 7 ? time.weekday : 0;
  int month = time.local.month >= 1 && time.local.month <= 12 ? time.local.month : 1;
  snprintf(out, size, "%s, %02d %s %04d %02d:%02d:%02d %c%02d%02d", kDays[weekday],
           time.local.day, kMonths[month - 1], time.local.year, time.local.hour,
           time.local.minute, time.local.second, sign, offset / 60 % 100, offset % 60);
}

bool body_is_7bit(const char* body) {
  size_t column = 0;
  for (const char* p = body; *p != '\0'; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (is_8bit(c)) return false;
    if (c == '\r' && p[1] != '\n') return false;
    if (c == '\n') {
      column = 0;
    } else if (c != '\r' && ++column > kMaxMessageLine) {
      return false;
    }
  }
  return true;
}

void append_quoted_printable(TextBuffer* out, const char* body, const char* eol) {
  bool crlf = strcmp(eol, "\r\n") == 0;
  ByteRun run;
  run.out = out;
  run.used = 0;
  const char* line = body;
  while (*line != '\0') {
    const char* end = strchr(line, '\n');
    size_t length = end != nullptr ? static_cast<size_t>(end - line) : strlen(line);
    size_t content = length;
    if (end != nullptr && crlf && content > 0 && line[content - 1] == '\r') --content;
    append_qp_line(&run, line, content, eol);
    if (end == nullptr) break;
    run_put(&run, eol, static_cast<int>(strlen(eol)));
    line = end + 1;
  }
  run_flush(&run);
}

void append_header_line_encoded(TextBuffer* out, const char* line, const char* eol) {
  size_t length = strlen(line);
  const char* colon = strchr(line, ':');
  if ((!has_8bit(line, length) && length <= kMaxMessageLine) || colon == nullptr) {
    text_buffer_append(out, "%s%s", line, eol);
    return;
  }
  size_t name_length = static_cast<size_t>(colon - line);
  const char* value = colon + 1;
  while (is_blank(*value)) ++value;
  text_buffer_append(out, "%.*s ", static_cast<int>(name_length + 1), line);
  if (is_address_field(line, name_length)) {
    append_address_value(out, value, eol);
  } else if (*value != '\0') {
    append_encoded_words(out, value, strlen(value), eol);
  }
  text_buffer_append(out, "%s", eol);
}
