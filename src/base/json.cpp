#include "base/json.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/utf8.h"

namespace {

struct Reader {
  const unsigned char* text;
  size_t length;
  size_t pos;
  bool skip_nested;
  JsonError* error;
};

bool fail(Reader* r, const char* reason, size_t at) {
  r->error->reason = reason;
  r->error->offset = at;
  return false;
}

int peek(const Reader* r) { return r->pos < r->length ? r->text[r->pos] : -1; }

void skip_space(Reader* r) {
  while (r->pos < r->length) {
    unsigned char c = r->text[r->pos];
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return;
    ++r->pos;
  }
}

int hex_digit(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Four hex digits at r->pos; -1 when they are not there.
long read_hex4(Reader* r) {
  if (r->length - r->pos < 4) return -1;
  long value = 0;
  for (int i = 0; i < 4; ++i) {
    int d = hex_digit(r->text[r->pos + i]);
    if (d < 0) return -1;
    value = value * 16 + d;
  }
  r->pos += 4;
  return value;
}

// The code point of a \u escape whose backslash is at `start` and whose 'u'
// has been read; a high surrogate must be followed by an escaped low one.
bool read_unicode_escape(Reader* r, size_t start, uint32_t* code_point) {
  long unit = read_hex4(r);
  if (unit < 0) return fail(r, "invalid escape", start);
  if (unit >= 0xDC00 && unit <= 0xDFFF) return fail(r, "lone surrogate", start);
  if (unit < 0xD800 || unit > 0xDBFF) {
    *code_point = static_cast<uint32_t>(unit);
    return true;
  }
  if (r->length - r->pos < 2 || r->text[r->pos] != '\\' || r->text[r->pos + 1] != 'u') {
    return fail(r, "lone surrogate", start);
  }
  r->pos += 2;
  long low = read_hex4(r);
  if (low < 0) return fail(r, "invalid escape", r->pos - 2);
  if (low < 0xDC00 || low > 0xDFFF) return fail(r, "lone surrogate", start);
  *code_point = 0x10000 + ((static_cast<uint32_t>(unit) - 0xD800) << 10) +
                (static_cast<uint32_t>(low) - 0xDC00);
  return true;
}

// The escape whose backslash is at r->pos: its UTF-8 bytes go to `out`
// (room for 4) and their count to *written.
bool read_escape(Reader* r, char* out, int* written) {
  size_t start = r->pos++;
  if (r->pos >= r->length) return fail(r, "unterminated string", start);
  static const char kFrom[] = "\"\\/bfnrt";
  static const char kTo[] = "\"\\/\b\f\n\r\t";
  unsigned char c = r->text[r->pos++];
  const char* simple = c != 0 ? strchr(kFrom, c) : nullptr;
  if (simple != nullptr) {
    out[0] = kTo[simple - kFrom];
    *written = 1;
    return true;
  }
  if (c != 'u') return fail(r, "invalid escape", start);
  uint32_t code_point = 0;
  if (!read_unicode_escape(r, start, &code_point)) return false;
  *written = utf8_encode(code_point, out);
  return true;
}

// The string whose opening quote is at r->pos. Its decoded bytes go to
// `out` (never more than the raw text's length) unless `out` is null.
bool read_string(Reader* r, char* out, size_t* out_length) {
  size_t start = r->pos++;
  size_t n = 0;
  while (r->pos < r->length) {
    unsigned char c = r->text[r->pos];
    if (c == '"') {
      ++r->pos;
      if (out != nullptr) out[n] = '\0';
      if (out_length != nullptr) *out_length = n;
      return true;
    }
    if (c < 0x20) return fail(r, "control character in a string", r->pos);
    char bytes[4];
    int count = 1;
    if (c == '\\') {
      if (!read_escape(r, bytes, &count)) return false;
    } else if (c < 0x80) {
      bytes[0] = static_cast<char>(c);
      ++r->pos;
    } else {
      count = utf8_sequence(r->text + r->pos, r->length - r->pos, nullptr);
      if (count == 0) return fail(r, "invalid UTF-8", r->pos);
      memcpy(bytes, r->text + r->pos, static_cast<size_t>(count));
      r->pos += static_cast<size_t>(count);
    }
    if (out != nullptr) memcpy(out + n, bytes, static_cast<size_t>(count));
    n += static_cast<size_t>(count);
  }
  return fail(r, "unterminated string", start);
}

size_t skip_digits(Reader* r) {
  size_t start = r->pos;
  while (r->pos < r->length && r->text[r->pos] >= '0' && r->text[r->pos] <= '9') ++r->pos;
  return r->pos - start;
}

// -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)? at r->pos.
bool read_number(Reader* r) {
  size_t start = r->pos;
  if (peek(r) == '-') ++r->pos;
  if (peek(r) == '0') {
    ++r->pos;
  } else if (skip_digits(r) == 0) {
    return fail(r, "invalid number", start);
  }
  if (peek(r) == '.') {
    ++r->pos;
    if (skip_digits(r) == 0) return fail(r, "invalid number", start);
  }
  if (peek(r) == 'e' || peek(r) == 'E') {
    ++r->pos;
    if (peek(r) == '+' || peek(r) == '-') ++r->pos;
    if (skip_digits(r) == 0) return fail(r, "invalid number", start);
  }
  if (peek(r) >= '0' && peek(r) <= '9') return fail(r, "invalid number", start);
  return true;
}

bool read_word(Reader* r, const char* word) {
  size_t n = strlen(word);
  if (r->length - r->pos < n || memcmp(r->text + r->pos, word, n) != 0) {
    return fail(r, "expected a value", r->pos);
  }
  r->pos += n;
  return true;
}

// A string, number, true, false or null at r->pos. With `out`, its value
// text (see JsonMember) is written there, NUL-ended.
bool read_scalar(Reader* r, char* out, JsonKind* kind, size_t* out_length) {
  int c = peek(r);
  size_t start = r->pos;
  JsonKind found = JsonKind::kBool;
  bool ok;
  if (c == '"') {
    found = JsonKind::kString;
    ok = read_string(r, out, out_length);
  } else if (c == '-' || (c >= '0' && c <= '9')) {
    found = JsonKind::kNumber;
    ok = read_number(r);
  } else if (c == 't') {
    ok = read_word(r, "true");
  } else if (c == 'f') {
    ok = read_word(r, "false");
  } else if (c == 'n') {
    found = JsonKind::kNull;
    ok = read_word(r, "null");
  } else {
    return fail(r, "expected a value", r->pos);
  }
  if (!ok) return false;
  if (kind != nullptr) *kind = found;
  if (found == JsonKind::kString || out == nullptr) return true;
  size_t n = found == JsonKind::kNull ? 0 : r->pos - start;
  memcpy(out, r->text + start, n);
  out[n] = '\0';
  *out_length = n;
  return true;
}

// After a member name: skips blanks, the ':' and the blanks after it.
bool read_colon(Reader* r) {
  skip_space(r);
  if (peek(r) != ':') return fail(r, "expected ':'", r->pos);
  ++r->pos;
  skip_space(r);
  return true;
}

// Checks and skips the object or array at r->pos, without recursion: the
// open brackets are kept in `open`.
bool skip_nested(Reader* r) {
  char open[kJsonMaxDepth];
  int depth = 0;
  for (;;) {
    int c = peek(r);
    if (c == '{' || c == '[') {
      if (depth == kJsonMaxDepth) return fail(r, "too deeply nested", r->pos);
      open[depth++] = static_cast<char>(c);
      ++r->pos;
      skip_space(r);
      int close = c == '{' ? '}' : ']';
      if (peek(r) != close) {
        if (c == '{') {
          if (peek(r) != '"') return fail(r, "expected a member name", r->pos);
          if (!read_string(r, nullptr, nullptr) || !read_colon(r)) return false;
        }
        continue;
      }
      ++r->pos;
      --depth;
    } else if (!read_scalar(r, nullptr, nullptr, nullptr)) {
      return false;
    }
    // After a value: close what ends here, or go on after a ','.
    for (;;) {
      if (depth == 0) return true;
      skip_space(r);
      int next = peek(r);
      char top = open[depth - 1];
      if (next == (top == '{' ? '}' : ']')) {
        ++r->pos;
        --depth;
        continue;
      }
      if (next != ',') {
        return fail(r, top == '{' ? "expected ',' or '}'" : "expected ',' or ']'", r->pos);
      }
      ++r->pos;
      skip_space(r);
      if (top == '{') {
        if (peek(r) != '"') return fail(r, "expected a member name", r->pos);
        if (!read_string(r, nullptr, nullptr) || !read_colon(r)) return false;
      }
      break;
    }
  }
}

// The elements of the array at r->pos, each handed over as `member` with
// its value decoded into `out`.
bool read_array(Reader* r, JsonMember* member, char* out, JsonMemberFn on_member, void* context) {
  ++r->pos;
  skip_space(r);
  if (peek(r) == ']') {
    ++r->pos;
    return true;
  }
  member->in_array = true;
  for (;;) {
    int c = peek(r);
    if (c == '{' || c == '[') {
      if (!r->skip_nested) return fail(r, "nested value", r->pos);
      if (!skip_nested(r)) return false;
    } else {
      if (!read_scalar(r, out, &member->kind, &member->value_length)) return false;
      member->value = out;
      on_member(context, member);
    }
    skip_space(r);
    if (peek(r) == ']') {
      ++r->pos;
      return true;
    }
    if (peek(r) != ',') return fail(r, "expected ',' or ']'", r->pos);
    ++r->pos;
    skip_space(r);
  }
}

// One "name": value member at r->pos. The name is decoded to the start of
// `scratch` and the value right after it: together they never take more
// bytes than the member's raw text, so a block of the text's size serves
// every member in turn.
bool read_member(Reader* r, char* scratch, JsonMemberFn on_member, void* context) {
  if (peek(r) != '"') return fail(r, "expected a member name", r->pos);
  JsonMember member = {};
  member.name = scratch;
  if (!read_string(r, scratch, &member.name_length) || !read_colon(r)) return false;
  char* out = scratch + member.name_length + 1;
  int c = peek(r);
  if (c == '[') return read_array(r, &member, out, on_member, context);
  if (c == '{') {
    if (!r->skip_nested) return fail(r, "nested value", r->pos);
    return skip_nested(r);
  }
  if (!read_scalar(r, out, &member.kind, &member.value_length)) return false;
  member.value = out;
  on_member(context, &member);
  return true;
}

bool read_members(Reader* r, char* scratch, JsonMemberFn on_member, void* context) {
  skip_space(r);
  if (r->length - r->pos >= 3 && memcmp(r->text + r->pos, "\xEF\xBB\xBF", 3) == 0) {
    r->pos += 3;
    skip_space(r);
  }
  if (peek(r) != '{') return fail(r, "expected an object", r->pos);
  ++r->pos;
  skip_space(r);
  if (peek(r) == '}') {
    ++r->pos;
  } else {
    for (;;) {
      if (!read_member(r, scratch, on_member, context)) return false;
      skip_space(r);
      if (peek(r) == '}') {
        ++r->pos;
        break;
      }
      if (peek(r) != ',') return fail(r, "expected ',' or '}'", r->pos);
      ++r->pos;
      skip_space(r);
    }
  }
  skip_space(r);
  if (r->pos != r->length) return fail(r, "trailing data", r->pos);
  return true;
}

}  // namespace

bool json_read_object(const char* text, size_t length, bool skip_nested, JsonMemberFn on_member,
                      void* context, JsonError* error) {
  Reader r = {reinterpret_cast<const unsigned char*>(text), length, 0, skip_nested, error};
  error->reason = nullptr;
  error->offset = 0;
  char* scratch = static_cast<char*>(malloc(length + 2));
  if (scratch == nullptr) return fail(&r, "out of memory", 0);
  bool ok = read_members(&r, scratch, on_member, context);
  free(scratch);
  return ok;
}

void json_append_string(TextBuffer* buffer, const char* text, size_t length) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  text_buffer_append_bytes(buffer, "\"", 1);
  size_t run = 0;  // start of the bytes not yet written that need no escape
  size_t at = 0;
  while (at < length) {
    unsigned char c = p[at];
    int n = 1;
    if (c >= 0x80) n = utf8_sequence(p + at, length - at, nullptr);
    if (c >= 0x20 && c != '"' && c != '\\' && n > 0) {
      at += static_cast<size_t>(n);
      continue;
    }
    text_buffer_append_bytes(buffer, text + run, static_cast<int>(at - run));
    if (n == 0) {
      text_buffer_append_bytes(buffer, "\xEF\xBF\xBD", 3);
    } else if (c < 0x20) {
      text_buffer_append(buffer, "\\u%04x", c);
    } else {
      const char escaped[2] = {'\\', static_cast<char>(c)};
      text_buffer_append_bytes(buffer, escaped, 2);
    }
    run = ++at;
  }
  text_buffer_append_bytes(buffer, text + run, static_cast<int>(at - run));
  text_buffer_append_bytes(buffer, "\"", 1);
}
