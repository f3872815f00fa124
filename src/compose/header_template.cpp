#include "compose/header_template.h"

#include <cstring>

#include "compose/mime.h"

// The token at `text` ("||name||"): its name's length into *length; false
// when no closing "||" follows on the line.
static bool token_at(const char* text, size_t* length) {
  if (text[0] != '|' || text[1] != '|') return false;
  const char* close = strstr(text + 2, "||");
  if (close == nullptr || close == text + 2) return false;
  *length = static_cast<size_t>(close - (text + 2));
  return true;
}

bool header_has_tokens(const char* text) {
  size_t length;
  for (const char* p = strstr(text, "||"); p != nullptr; p = strstr(p + 1, "||")) {
    if (token_at(p, &length)) return true;
  }
  return false;
}

static bool is_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

void header_token_value(const char* value, TextBuffer* out) {
  int characters = 0;
  for (const char* p = value; *p != '\0'; ++p) {
    if (*p == '\r' || *p == '\n') {
      while (p[1] == '\r' || p[1] == '\n') ++p;
      text_buffer_append(out, " ");
      ++characters;
      continue;
    }
    if (!is_continuation(*p) && characters++ == kTokenValueMax) {
      text_buffer_append(out, "\xE2\x80\xA6");  // U+2026
      return;
    }
    text_buffer_append_bytes(out, p, 1);
  }
}

// Whether `text` may stand in a header as it is: printable ASCII (a tab
// too) that no reader would take for an encoded word.
static bool plain_text(const char* text, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if ((c < 0x20 && c != '\t') || c >= 0x7F) return false;
    if (c == '=' && i + 1 < length && text[i + 1] == '?') return false;
  }
  return true;
}

static bool is_blank(char c) { return c == ' ' || c == '\t'; }

// The filled value with a flag per byte: whether it must be encoded.
struct FlaggedText {
  TextBuffer* text;
  TextBuffer* flags;  // '1' or '0' per byte of text
};

static void add_flagged(FlaggedText* out, const char* text, size_t length, bool encode) {
  text_buffer_append_bytes(out->text, text, static_cast<int>(length));
  for (size_t i = 0; i < length; ++i) {
    bool eight_bit = static_cast<unsigned char>(text[i]) >= 0x7F;
    text_buffer_append(out->flags, encode || eight_bit ? "1" : "0");
  }
}

// Writes the value word by word: a word with a flagged byte and every word
// after it up to the next plain one become one run of encoded words (a
// reader needs blanks around an encoded word, so it takes whole words).
static void write_flagged(const FlaggedText& in, const char* eol, TextBuffer* out) {
  const char* text = in.text->data;
  const char* flags = in.flags->data;
  size_t length = static_cast<size_t>(in.text->length);
  size_t at = 0;
  while (at < length) {
    size_t word = at;
    while (word < length && is_blank(text[word])) ++word;
    size_t end = word;
    bool encode = false;
    while (end < length && !is_blank(text[end])) encode |= flags[end++] == '1';
    if (!encode) {
      text_buffer_append_bytes(out, text + at, static_cast<int>(end - at));
      at = end;
      continue;
    }
    // Further flagged words join the run, with the blanks between them.
    for (;;) {
      size_t next = end;
      while (next < length && is_blank(text[next])) ++next;
      size_t next_end = next;
      bool more = false;
      while (next_end < length && !is_blank(text[next_end])) more |= flags[next_end++] == '1';
      if (!more || next == next_end) break;
      end = next_end;
    }
    text_buffer_append_bytes(out, text + at, static_cast<int>(word - at));
    if (word == at && out->length > 0 && !is_blank(out->data[out->length - 1])) {
      text_buffer_append(out, " ");
    }
    append_encoded_words(out, text + word, end - word, eol);
    at = end;
  }
}

void header_fill(const char* text, TokenValueFn value, void* context, const char* eol,
                 TextBuffer* out) {
  const char* colon = strchr(text, ':');
  bool address = colon != nullptr && is_address_field(text, static_cast<size_t>(colon - text));
  const char* start = colon != nullptr ? colon + 1 : text;
  text_buffer_append_bytes(out, text, static_cast<int>(start - text));
  FlaggedText filled = {text_buffer_new(""), text_buffer_new("")};
  const char* fixed = start;
  for (const char* p = start; *p != '\0'; ++p) {
    size_t length;
    if (!token_at(p, &length)) continue;
    add_flagged(&filled, fixed, static_cast<size_t>(p - fixed), false);
    TextBuffer* name = text_buffer_new("");
    text_buffer_append_bytes(name, p + 2, static_cast<int>(length));
    const char* submitted = value(name->data, context);
    TextBuffer* shown = text_buffer_new("");
    header_token_value(submitted != nullptr ? submitted : "", shown);
    size_t shown_length = static_cast<size_t>(shown->length);
    add_flagged(&filled, shown->data, shown_length,
                address || !plain_text(shown->data, shown_length));
    text_buffer_free(shown);
    text_buffer_free(name);
    p += length + 3;
    fixed = p + 1;
  }
  add_flagged(&filled, fixed, strlen(fixed), false);
  write_flagged(filled, eol, out);
  text_buffer_free(filled.text);
  text_buffer_free(filled.flags);
}

void header_without_tokens(const char* text, TextBuffer* out) {
  const char* fixed = text;
  for (const char* p = text; *p != '\0'; ++p) {
    size_t length;
    if (!token_at(p, &length)) continue;
    text_buffer_append_bytes(out, fixed, static_cast<int>(p - fixed));
    p += length + 3;
    fixed = p + 1;
  }
  text_buffer_append(out, "%s", fixed);
}
