#include "archive/archive_text.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "base/calendar.h"
#include "base/json.h"

void archive_fields_json(const char* const* names, const char* const* values, int count,
                         TextBuffer* out) {
  text_buffer_append_bytes(out, "[", 1);
  for (int i = 0; i < count; ++i) {
    if (i > 0) text_buffer_append_bytes(out, ",", 1);
    text_buffer_append_bytes(out, "[", 1);
    json_append_string(out, names[i], strlen(names[i]));
    text_buffer_append_bytes(out, ",", 1);
    const char* value = values[i] != nullptr ? values[i] : "";
    json_append_string(out, value, strlen(value));
    text_buffer_append_bytes(out, "]", 1);
  }
  text_buffer_append_bytes(out, "]", 1);
}

namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool read_hex4(const char** p, unsigned* out) {
  unsigned value = 0;
  for (int i = 0; i < 4; ++i) {
    int digit = hex_digit((*p)[i]);
    if (digit < 0) return false;
    value = value * 16 + static_cast<unsigned>(digit);
  }
  *p += 4;
  *out = value;
  return true;
}

void append_utf8(TextBuffer* out, unsigned code) {
  char bytes[4];
  int n = 0;
  if (code < 0x80) {
    bytes[n++] = static_cast<char>(code);
  } else if (code < 0x800) {
    bytes[n++] = static_cast<char>(0xC0 | (code >> 6));
    bytes[n++] = static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    bytes[n++] = static_cast<char>(0xE0 | (code >> 12));
    bytes[n++] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    bytes[n++] = static_cast<char>(0x80 | (code & 0x3F));
  } else {
    bytes[n++] = static_cast<char>(0xF0 | (code >> 18));
    bytes[n++] = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    bytes[n++] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    bytes[n++] = static_cast<char>(0x80 | (code & 0x3F));
  }
  text_buffer_append_bytes(out, bytes, n);
}

// One JSON string at *p (at its opening quote), decoded into `out`.
bool read_string(const char** p, TextBuffer* out) {
  const char* s = *p;
  if (*s != '"') return false;
  ++s;
  while (*s != '"') {
    if (*s == '\0') return false;
    if (*s != '\\') {
      const char* run = s;
      while (*s != '"' && *s != '\\' && *s != '\0') ++s;
      text_buffer_append_bytes(out, run, static_cast<int>(s - run));
      continue;
    }
    ++s;
    char c = *s++;
    static const char kFrom[] = "\"\\/bfnrt";
    static const char kTo[] = "\"\\/\b\f\n\r\t";
    const char* simple = c != '\0' ? strchr(kFrom, c) : nullptr;
    if (simple != nullptr) {
      text_buffer_append_bytes(out, &kTo[simple - kFrom], 1);
      continue;
    }
    unsigned code = 0;
    if (c != 'u' || !read_hex4(&s, &code)) return false;
    unsigned low = 0;
    if (code >= 0xD800 && code < 0xDC00 && s[0] == '\\' && s[1] == 'u') {
      const char* q = s + 2;
      if (read_hex4(&q, &low) && low >= 0xDC00 && low < 0xE000) {
        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        s = q;
      }
    }
    append_utf8(out, code);
  }
  *p = s + 1;
  return true;
}

void skip_blanks(const char** p) {
  while (**p == ' ' || **p == '\n' || **p == '\r' || **p == '\t') ++*p;
}

bool expect(const char** p, char c) {
  skip_blanks(p);
  if (**p != c) return false;
  ++*p;
  skip_blanks(p);
  return true;
}

}  // namespace

bool archive_fields_each(const char* json, ArchiveFieldFn each, void* context) {
  const char* p = json;
  if (!expect(&p, '[')) return false;
  TextBuffer* name = text_buffer_new("");
  TextBuffer* value = text_buffer_new("");
  bool ok = true;
  bool first = true;
  while (ok && *p != ']') {
    if (!first && !expect(&p, ',')) ok = false;
    first = false;
    text_buffer_replace(name, "%s", "");
    text_buffer_replace(value, "%s", "");
    ok = ok && expect(&p, '[') && read_string(&p, name) && expect(&p, ',') &&
         read_string(&p, value) && expect(&p, ']');
    if (ok) each(name->data, name->length, value->data, value->length, context);
  }
  text_buffer_free(name);
  text_buffer_free(value);
  return ok && *p == ']';
}

static bool address_byte(char c) {
  if (c == '\0') return false;
  return isalnum(static_cast<unsigned char>(c)) || strchr("!#$%&'*+-/=?^_`{|}~.@", c) != nullptr ||
         static_cast<unsigned char>(c) >= 0x80;
}

bool archive_holds_address(const char* text, const char* address) {
  size_t length = strlen(address);
  if (length == 0) return false;
  for (const char* p = text; *p != '\0'; ++p) {
    if (strncasecmp(p, address, length) != 0) continue;
    bool starts = p == text || !address_byte(p[-1]);
    // A trailing "." ends a sentence, not the address.
    char after = p[length];
    bool ends = after == '\0' || !address_byte(after) ||
                (after == '.' && !address_byte(p[length + 1]));
    if (starts && ends) return true;
  }
  return false;
}

void archive_csv_cell(TextBuffer* out, const char* value, size_t length) {
  bool guard = length > 0 && strchr("=+-@\t\r", value[0]) != nullptr;
  bool quote = guard && (value[0] == '\t' || value[0] == '\r');
  for (size_t i = 0; i < length && !quote; ++i) {
    quote = value[i] == ',' || value[i] == '"' || value[i] == '\n' || value[i] == '\r';
  }
  if (quote) text_buffer_append_bytes(out, "\"", 1);
  if (guard) text_buffer_append_bytes(out, "'", 1);
  size_t start = 0;
  for (size_t i = 0; i < length; ++i) {
    if (value[i] != '"') continue;
    text_buffer_append_bytes(out, value + start, static_cast<int>(i + 1 - start));
    text_buffer_append_bytes(out, "\"", 1);
    start = i + 1;
  }
  text_buffer_append_bytes(out, value + start, static_cast<int>(length - start));
  if (quote) text_buffer_append_bytes(out, "\"", 1);
}

bool archive_parse_date(const char* text, long long* seconds) {
  int year = 0, month = 0, day = 0;
  char tail = 0;
  if (strlen(text) != 10 || text[4] != '-' || text[7] != '-') return false;
  for (int i = 0; i < 10; ++i) {
    if (i != 4 && i != 7 && !isdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  if (sscanf(text, "%4d-%2d-%2d%c", &year, &month, &day, &tail) != 3) return false;
  static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1 || day > kDays[month - 1]) return false;
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (month == 2 && day == 29 && !leap) return false;
  *seconds = days_from_civil(year, month, day) * 86400;
  return true;
}

void archive_time_text(long long seconds, char* out, size_t size) {
  utc_time_text(seconds, out, size);
}
