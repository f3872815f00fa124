#include "form/content_type.h"

#include <cstring>

#include "base/program.h"
#include "base/utf8.h"

namespace {

bool is_token_char(unsigned char c) {
  if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
  return c != 0 && strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool is_blank(unsigned char c) { return c == ' ' || c == '\t'; }

struct Cursor {
  const unsigned char* text;
  size_t length;
  size_t pos;
};

void skip_blanks(Cursor* c) {
  while (c->pos < c->length && is_blank(c->text[c->pos])) ++c->pos;
}

// The raw text of one parameter: its name and its value (the quoted
// string's inside when `quoted`).
struct RawParam {
  const unsigned char* name;
  size_t name_length;
  const unsigned char* value;
  size_t value_length;
  bool quoted;
};

// Reads "; name=value" at c->pos. Returns 1 with *param set, 0 at the end
// of the value, -1 on a syntax error.
int next_param(Cursor* c, RawParam* param) {
  skip_blanks(c);
  if (c->pos == c->length) return 0;
  if (c->text[c->pos] != ';') return -1;
  ++c->pos;
  skip_blanks(c);
  // A trailing ';' (or ";;") is harmless and some clients send it.
  if (c->pos == c->length) return 0;
  if (c->text[c->pos] == ';') return next_param(c, param);
  param->name = c->text + c->pos;
  while (c->pos < c->length && is_token_char(c->text[c->pos])) ++c->pos;
  param->name_length = static_cast<size_t>(c->text + c->pos - param->name);
  skip_blanks(c);
  if (param->name_length == 0 || c->pos == c->length || c->text[c->pos] != '=') return -1;
  ++c->pos;
  skip_blanks(c);
  param->quoted = c->pos < c->length && c->text[c->pos] == '"';
  if (param->quoted) {
    size_t start = ++c->pos;
    while (c->pos < c->length && c->text[c->pos] != '"') {
      if (c->text[c->pos] == '\\' && c->pos + 1 < c->length) ++c->pos;
      ++c->pos;
    }
    if (c->pos == c->length) return -1;
    param->value = c->text + start;
    param->value_length = c->pos++ - start;
    return 1;
  }
  size_t start = c->pos;
  while (c->pos < c->length) {
    unsigned char b = c->text[c->pos];
    if (b == ';' || is_blank(b) || b == '"' || b < 0x20 || b == 0x7F) break;
    ++c->pos;
  }
  param->value = c->text + start;
  param->value_length = c->pos - start;
  return param->value_length > 0 ? 1 : -1;
}

size_t unquote(const RawParam& p, char* out) {
  size_t n = 0;
  for (size_t i = 0; i < p.value_length; ++i) {
    unsigned char b = p.value[i];
    if (p.quoted && b == '\\' && i + 1 < p.value_length &&
        (p.value[i + 1] == '"' || p.value[i + 1] == '\\')) {
      b = p.value[++i];
    }
    out[n++] = static_cast<char>(b);
  }
  return n;
}

int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<unsigned char>(ascii_lower(static_cast<char>(c)));
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// charset'language'%-encoded, into `out` as UTF-8. Returns the length or
// -1 for a bad ext-value.
long decode_ext_value(const RawParam& p, char* out) {
  const unsigned char* v = p.value;
  size_t n = p.value_length;
  const unsigned char* q1 = static_cast<const unsigned char*>(memchr(v, '\'', n));
  if (q1 == nullptr || p.quoted) return -1;
  const unsigned char* q2 =
      static_cast<const unsigned char*>(memchr(q1 + 1, '\'', static_cast<size_t>(v + n - q1 - 1)));
  if (q2 == nullptr) return -1;
  size_t charset_length = static_cast<size_t>(q1 - v);
  const char* charset = reinterpret_cast<const char*>(v);
  bool utf8 = charset_length == 5 && ascii_equal_n(charset, "utf-8", 5);
  bool latin1 = charset_length == 10 && ascii_equal_n(charset, "iso-8859-1", 10);
  if (!utf8 && !latin1) return -1;
  // Percent-decoded bytes first, at the end half of `out` for ISO-8859-1 so
  // the conversion can write from the start.
  size_t raw = static_cast<size_t>(v + n - q2 - 1);
  char* bytes = latin1 ? out + raw : out;
  size_t count = 0;
  for (const unsigned char* s = q2 + 1; s < v + n; ++s) {
    if (*s != '%') {
      bytes[count++] = static_cast<char>(*s);
      continue;
    }
    if (v + n - s < 3 || hex_value(s[1]) < 0 || hex_value(s[2]) < 0) return -1;
    bytes[count++] = static_cast<char>(hex_value(s[1]) * 16 + hex_value(s[2]));
    s += 2;
  }
  if (latin1) return static_cast<long>(latin1_to_utf8(bytes, count, out));
  return utf8_valid(out, count) ? static_cast<long>(count) : -1;
}

// Skips the type: everything before the first ';'.
Cursor after_type(const char* value, size_t length) {
  const char* semicolon = static_cast<const char*>(memchr(value, ';', length));
  size_t at = semicolon != nullptr ? static_cast<size_t>(semicolon - value) : length;
  return Cursor{reinterpret_cast<const unsigned char*>(value), length, at};
}

}  // namespace

bool header_type(const char* value, size_t length, char* out, size_t out_size) {
  Cursor c = after_type(value, length);
  size_t start = 0;
  size_t end = c.pos;
  while (start < end && is_blank(c.text[start])) ++start;
  while (end > start && is_blank(c.text[end - 1])) --end;
  if (start == end || end - start >= out_size) return false;
  int slashes = 0;
  for (size_t i = start; i < end; ++i) {
    unsigned char b = c.text[i];
    if (b == '/') ++slashes;
    if ((b != '/' && !is_token_char(b)) || slashes > 1) return false;
    out[i - start] = ascii_lower(static_cast<char>(b));
  }
  if (c.text[start] == '/' || c.text[end - 1] == '/') return false;
  out[end - start] = '\0';
  return true;
}

HeaderParam header_param(const char* value, size_t length, const char* name, char* out,
                         size_t out_size, size_t* out_length) {
  Cursor c = after_type(value, length);
  size_t name_length = strlen(name);
  bool found = false;
  bool extended = false;
  RawParam p;
  int step;
  while ((step = next_param(&c, &p)) == 1) {
    bool plain = p.name_length == name_length;
    bool star = p.name_length == name_length + 1 && p.name[name_length] == '*';
    if ((!plain && !star) ||
        !ascii_equal_n(reinterpret_cast<const char*>(p.name), name, name_length)) {
      continue;
    }
    if ((plain && found) || (star && extended)) continue;  // the first of each counts
    if (2 * p.value_length + 1 > out_size) return HeaderParam::kMalformed;
    if (star) {
      long n = decode_ext_value(p, out);
      if (n < 0) return HeaderParam::kMalformed;
      *out_length = static_cast<size_t>(n);
      extended = true;
    } else if (!extended) {
      *out_length = unquote(p, out);
    }
    found = true;
    out[*out_length] = '\0';
  }
  if (step < 0) return HeaderParam::kMalformed;
  return found ? HeaderParam::kFound : HeaderParam::kAbsent;
}
