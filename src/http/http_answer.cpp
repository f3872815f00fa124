// Reading an HTTP/1.x answer out of the bytes received so far (see
// http_answer.h).
#include "http/http_answer.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/fatal.h"
#include "base/program.h"

namespace {

constexpr size_t kChunkLineLimit = 1024;
// What line_end gives for a line whose end has not arrived.
constexpr size_t kNoEnd = SIZE_MAX;

// A stretch of the received bytes.
struct Span {
  const char* text;
  size_t length;
};

// The end of the line that starts at `from` (the index of its '\n'), or
// kNoEnd when it has not arrived. Lines end with CRLF; a bare LF is taken too.
size_t line_end(const char* data, size_t length, size_t from) {
  const void* lf = memchr(data + from, '\n', length - from);
  if (lf == nullptr) return kNoEnd;
  return static_cast<size_t>(static_cast<const char*>(lf) - data);
}

// The line from `from` to `end` (the '\n') without its CR.
Span line_text(const char* data, size_t from, size_t end) {
  if (end > from && data[end - 1] == '\r') --end;
  return Span{data + from, end - from};
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  c = ascii_lower(c);
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The size at the front of a chunk-size line; -1 when there is none or it
// is over the answer limit (which the caller reports).
long long chunk_size(Span line, bool* too_large) {
  long long size = 0;
  size_t i = 0;
  for (; i < line.length && hex_value(line.text[i]) >= 0; ++i) {
    size = size * 16 + hex_value(line.text[i]);
    if (size > static_cast<long long>(kHttpAnswerLimit)) {
      *too_large = true;
      return -1;
    }
  }
  if (i == 0) return -1;
  // What may follow: spaces and ";name=value" extensions, ignored.
  while (i < line.length && (line.text[i] == ' ' || line.text[i] == '\t')) ++i;
  if (i < line.length && line.text[i] != ';') return -1;
  return size;
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

Span trimmed(Span text) {
  while (text.length > 0 && is_blank(text.text[0])) {
    ++text.text;
    --text.length;
  }
  while (text.length > 0 && is_blank(text.text[text.length - 1])) --text.length;
  return text;
}

bool same_name(Span a, const char* b) {
  return a.length == strlen(b) && ascii_equal_n(a.text, b, a.length);
}

bool token_char(char c) {
  return c > ' ' && c < 0x7f && strchr("()<>@,;:\\\"/[]?={}", c) == nullptr;
}

// How the body of an answer is delimited.
struct Framing {
  bool chunked = false;
  long long content_length = -1;  // -1: none given
  // The header values the caller is given; null text: not in the answer.
  Span content_type = {nullptr, 0};
  Span retry_after = {nullptr, 0};
  Span location = {nullptr, 0};
};

// A Content-Length value: 1 to 12 digits; -1 for anything else.
long long decimal_length(Span value) {
  if (value.length == 0 || value.length > 12) return -1;
  long long length = 0;
  for (size_t i = 0; i < value.length; ++i) {
    if (!is_digit(value.text[i])) return -1;
    length = length * 10 + (value.text[i] - '0');
  }
  return length;
}

// One header line into *framing. False for a line that is no header.
bool take_header(Span line, Framing* framing, char* error, size_t error_size) {
  const char* colon = static_cast<const char*>(memchr(line.text, ':', line.length));
  if (colon == nullptr || colon == line.text) return false;
  Span name = {line.text, static_cast<size_t>(colon - line.text)};
  for (size_t i = 0; i < name.length; ++i) {
    if (!token_char(name.text[i])) return false;
  }
  Span value = trimmed(Span{colon + 1, line.length - name.length - 1});
  if (same_name(name, "Transfer-Encoding")) {
    if (!same_name(value, "chunked")) {
      snprintf(error, error_size, "answer uses an unsupported transfer coding");
      return false;
    }
    framing->chunked = true;
  } else if (same_name(name, "Content-Length")) {
    long long length = decimal_length(value);
    if (length < 0) return false;
    // Two different lengths leave the end of the body in doubt.
    if (framing->content_length >= 0 && framing->content_length != length) return false;
    framing->content_length = length;
  } else if (same_name(name, "Content-Type")) {
    framing->content_type = value;
  } else if (same_name(name, "Retry-After")) {
    framing->retry_after = value;
  } else if (same_name(name, "Location")) {
    framing->location = value;
  }
  return true;
}

// "HTTP/1.x NNN" with an optional " reason".
bool status_line_ok(Span line) {
  const char* t = line.text;
  if (line.length < 12 || memcmp(t, "HTTP/1.", 7) != 0) return false;
  if (!is_digit(t[7]) || t[8] != ' ') return false;
  if (!is_digit(t[9]) || !is_digit(t[10]) || !is_digit(t[11])) return false;
  return line.length == 12 || t[12] == ' ';
}

// Reads "HTTP/1.x NNN reason" and the header lines that end at an empty
// one. kComplete with *body_start past the empty line.
HttpParse read_head(const char* data, size_t length, size_t from, int* status,
                    Framing* framing, size_t* body_start, char* error, size_t error_size) {
  size_t end = line_end(data, length, from);
  if (end == kNoEnd) {
    // What has come of the status line already tells a server of another
    // protocol, which may wait for more from us.
    size_t seen = length - from < 7 ? length - from : 7;
    if (memcmp(data + from, "HTTP/1.", seen) != 0) {
      snprintf(error, error_size, "not HTTP");
      return HttpParse::kError;
    }
    return length - from > kHttpHeadLimit ? HttpParse::kError : HttpParse::kIncomplete;
  }
  Span status_line = line_text(data, from, end);
  if (!status_line_ok(status_line)) {
    snprintf(error, error_size, "not HTTP");
    return HttpParse::kError;
  }
  const char* code = status_line.text + 9;
  *status = (code[0] - '0') * 100 + (code[1] - '0') * 10 + (code[2] - '0');
  *framing = Framing();
  for (size_t at = end + 1;;) {
    if (at - from > kHttpHeadLimit) {
      snprintf(error, error_size, "answer headers over 16 KB");
      return HttpParse::kError;
    }
    end = line_end(data, length, at);
    if (end == kNoEnd) return HttpParse::kIncomplete;
    Span line = line_text(data, at, end);
    at = end + 1;
    if (line.length == 0) {
      *body_start = at;
      return HttpParse::kComplete;
    }
    if (!take_header(line, framing, error, error_size)) {
      if (error_size > 0 && error[0] == '\0') snprintf(error, error_size, "not HTTP");
      return HttpParse::kError;
    }
  }
}

// The trailer fields after the last chunk, ignored, up to an empty line:
// kComplete with *at past it.
HttpParse skip_trailer(const char* data, size_t length, size_t* at, char* error,
                       size_t error_size) {
  const size_t trailer_start = *at;
  for (;;) {
    size_t end = line_end(data, length, *at);
    if (end == kNoEnd || end - trailer_start > kHttpHeadLimit) {
      if (end == kNoEnd && length - trailer_start <= kHttpHeadLimit) {
        return HttpParse::kIncomplete;
      }
      snprintf(error, error_size, "answer trailer over 16 KB");
      return HttpParse::kError;
    }
    bool empty = line_text(data, *at, end).length == 0;
    *at = end + 1;
    if (empty) return HttpParse::kComplete;
  }
}

// `length` bytes of `body` in place of what *out held.
void set_body(TextBuffer* out, const char* body, size_t length) {
  text_buffer_replace(out, "%s", "");
  text_buffer_append_bytes(out, body, static_cast<int>(length));
}

// The body after a complete head, framed as the head says, into *out.
HttpParse read_body(const char* body, size_t available, bool closed, int status,
                    const Framing& framing, TextBuffer* out, char* error, size_t error_size) {
  if (status == 204 || status == 304) {
    set_body(out, "", 0);
    return HttpParse::kComplete;
  }
  if (framing.chunked) {
    size_t used = 0;
    return http_dechunk(body, available, out, &used, error, error_size);
  }
  if (framing.content_length > static_cast<long long>(kHttpAnswerLimit) ||
      (framing.content_length < 0 && available > kHttpAnswerLimit)) {
    snprintf(error, error_size, "answer over 64 KB");
    return HttpParse::kError;
  }
  if (framing.content_length >= 0) {
    size_t want = static_cast<size_t>(framing.content_length);
    if (available < want) return HttpParse::kIncomplete;
    set_body(out, body, want);
    return HttpParse::kComplete;
  }
  // Neither length nor chunks: the body runs until the peer closes.
  if (!closed) return HttpParse::kIncomplete;
  set_body(out, body, available);
  return HttpParse::kComplete;
}

// A heap copy of a header value in place of *slot; null for none.
void keep_value(Span value, char** slot) {
  free(*slot);
  *slot = value.text != nullptr ? copy_bytes_or_die(value.text, value.length, kOutOfMemory)
                                : nullptr;
}

void keep_headers(const Framing& framing, HttpAnswer* answer) {
  keep_value(framing.content_type, &answer->content_type);
  keep_value(framing.retry_after, &answer->retry_after);
  keep_value(framing.location, &answer->location);
}

}  // namespace

HttpParse http_dechunk(const char* data, size_t length, TextBuffer* body, size_t* used,
                       char* error, size_t error_size) {
  text_buffer_replace(body, "%s", "");
  size_t at = 0;
  for (;;) {
    size_t end = line_end(data, length, at);
    if (end == kNoEnd) {
      if (length - at <= kChunkLineLimit) return HttpParse::kIncomplete;
      snprintf(error, error_size, "not HTTP");
      return HttpParse::kError;
    }
    bool too_large = false;
    long long size = chunk_size(line_text(data, at, end), &too_large);
    if (size < 0 || static_cast<size_t>(body->length) + static_cast<size_t>(size) >
                         kHttpAnswerLimit) {
      snprintf(error, error_size, "%s", too_large || size >= 0 ? "answer over 64 KB" : "not HTTP");
      return HttpParse::kError;
    }
    at = end + 1;
    if (size == 0) break;
    if (length - at < static_cast<size_t>(size)) return HttpParse::kIncomplete;
    text_buffer_append_bytes(body, data + at, static_cast<int>(size));
    at += static_cast<size_t>(size);
    // The data of a chunk is followed by its own line end.
    end = line_end(data, length, at);
    if (end == kNoEnd) {
      if (length - at < 2) return HttpParse::kIncomplete;
      snprintf(error, error_size, "not HTTP");
      return HttpParse::kError;
    }
    if (line_text(data, at, end).length != 0) {
      snprintf(error, error_size, "not HTTP");
      return HttpParse::kError;
    }
    at = end + 1;
  }
  HttpParse state = skip_trailer(data, length, &at, error, error_size);
  if (state == HttpParse::kComplete) *used = at;
  return state;
}

HttpParse http_read_answer(const char* data, size_t length, bool closed, HttpAnswer* answer,
                           char* error, size_t error_size) {
  if (error_size > 0) error[0] = '\0';
  size_t from = 0;
  HttpParse state;
  Framing framing;
  size_t body_start = 0;
  // Interim 1xx answers come before the final one and carry no body.
  for (;;) {
    state = read_head(data, length, from, &answer->status, &framing, &body_start, error,
                      error_size);
    if (state != HttpParse::kComplete || answer->status >= 200) break;
    from = body_start;
  }
  if (state == HttpParse::kError && error_size > 0 && error[0] == '\0') {
    snprintf(error, error_size, "answer headers over 16 KB");
  }
  if (state == HttpParse::kComplete) {
    if (answer->body == nullptr) answer->body = text_buffer_new("");
    state = read_body(data + body_start, length - body_start, closed, answer->status, framing,
                      answer->body, error, error_size);
  }
  if (state == HttpParse::kComplete) keep_headers(framing, answer);
  if (state == HttpParse::kIncomplete && closed) {
    snprintf(error, error_size, "%s", length == 0 ? "connection closed without an answer"
                                             : "connection closed before the answer ended");
    return HttpParse::kError;
  }
  return state;
}

void http_answer_free(HttpAnswer* answer) {
  text_buffer_free(answer->body);
  free(answer->content_type);
  free(answer->retry_after);
  free(answer->location);
  *answer = HttpAnswer();
}
