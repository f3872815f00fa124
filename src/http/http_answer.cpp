// Reading an HTTP/1.x answer out of the bytes received so far: the half of
// https_client.h that touches no socket.

#include <cstring>

#include "base/program.h"
#include "http/https_client.h"

namespace {

constexpr size_t kChunkLineLimit = 1024;

// The end of the line that starts at `from` (the index of its '\n'), or npos
// when it has not arrived. Lines end with CRLF; a bare LF is taken too.
size_t line_end(const char* data, size_t length, size_t from) {
  const void* lf = memchr(data + from, '\n', length - from);
  if (lf == nullptr) return std::string::npos;
  return static_cast<size_t>(static_cast<const char*>(lf) - data);
}

// The line from `from` to `end` (the '\n') without its CR.
std::string line_text(const char* data, size_t from, size_t end) {
  if (end > from && data[end - 1] == '\r') --end;
  return std::string(data + from, end - from);
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
long long chunk_size(const std::string& line, bool* too_large) {
  long long size = 0;
  size_t i = 0;
  for (; i < line.size() && hex_value(line[i]) >= 0; ++i) {
    size = size * 16 + hex_value(line[i]);
    if (size > static_cast<long long>(kHttpsAnswerLimit)) {
      *too_large = true;
      return -1;
    }
  }
  if (i == 0) return -1;
  // What may follow: spaces and ";name=value" extensions, ignored.
  while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
  if (i < line.size() && line[i] != ';') return -1;
  return size;
}

std::string trimmed(const std::string& text) {
  size_t start = text.find_first_not_of(" \t");
  if (start == std::string::npos) return "";
  size_t end = text.find_last_not_of(" \t");
  return text.substr(start, end - start + 1);
}

bool same_name(const std::string& a, const char* b) {
  return a.size() == strlen(b) && ascii_equal_n(a.c_str(), b, a.size());
}

bool token_char(char c) {
  return c > ' ' && c < 0x7f && strchr("()<>@,;:\\\"/[]?={}", c) == nullptr;
}

// How the body of an answer is delimited.
struct Framing {
  bool chunked = false;
  long long content_length = -1;  // -1: none given
};

// One header line into *framing. False for a line that is no header.
bool take_header(const std::string& line, Framing* framing, std::string* error) {
  size_t colon = line.find(':');
  if (colon == std::string::npos || colon == 0) return false;
  std::string name = line.substr(0, colon);
  for (char c : name) {
    if (!token_char(c)) return false;
  }
  std::string value = trimmed(line.substr(colon + 1));
  if (same_name(name, "Transfer-Encoding")) {
    if (!same_name(value, "chunked")) {
      *error = "answer uses an unsupported transfer coding";
      return false;
    }
    framing->chunked = true;
  } else if (same_name(name, "Content-Length")) {
    if (value.empty() || value.size() > 12 || value.find_first_not_of("0123456789") != std::string::npos) {
      return false;
    }
    long long length = std::stoll(value);
    // Two different lengths leave the end of the body in doubt.
    if (framing->content_length >= 0 && framing->content_length != length) return false;
    framing->content_length = length;
  }
  return true;
}

// "HTTP/1.x NNN" with an optional " reason".
bool status_line_ok(const std::string& line) {
  if (line.size() < 12 || line.compare(0, 7, "HTTP/1.") != 0) return false;
  if (!is_digit(line[7]) || line[8] != ' ') return false;
  if (!is_digit(line[9]) || !is_digit(line[10]) || !is_digit(line[11])) return false;
  return line.size() == 12 || line[12] == ' ';
}

// Reads "HTTP/1.x NNN reason" and the header lines that end at an empty
// one. kComplete with *body_start past the empty line.
HttpParse read_head(const char* data, size_t length, size_t from, int* status,
                    Framing* framing, size_t* body_start, std::string* error) {
  size_t end = line_end(data, length, from);
  if (end == std::string::npos) {
    // What has come of the status line already tells a server of another
    // protocol, which may wait for more from us.
    size_t seen = length - from < 7 ? length - from : 7;
    if (memcmp(data + from, "HTTP/1.", seen) != 0) {
      *error = "not HTTP";
      return HttpParse::kError;
    }
    return length - from > kHttpsHeadLimit ? HttpParse::kError : HttpParse::kIncomplete;
  }
  std::string status_line = line_text(data, from, end);
  if (!status_line_ok(status_line)) {
    *error = "not HTTP";
    return HttpParse::kError;
  }
  *status = std::stoi(status_line.substr(9, 3));
  *framing = Framing();
  for (size_t at = end + 1;;) {
    if (at - from > kHttpsHeadLimit) {
      *error = "answer headers over 16 KB";
      return HttpParse::kError;
    }
    end = line_end(data, length, at);
    if (end == std::string::npos) return HttpParse::kIncomplete;
    std::string line = line_text(data, at, end);
    at = end + 1;
    if (line.empty()) {
      *body_start = at;
      return HttpParse::kComplete;
    }
    if (!take_header(line, framing, error)) {
      if (error->empty()) *error = "not HTTP";
      return HttpParse::kError;
    }
  }
}

}  // namespace

HttpParse http_dechunk(const char* data, size_t length, std::string* body, size_t* used,
                       std::string* error) {
  body->clear();
  size_t at = 0;
  for (;;) {
    size_t end = line_end(data, length, at);
    if (end == std::string::npos) {
      if (length - at <= kChunkLineLimit) return HttpParse::kIncomplete;
      *error = "not HTTP";
      return HttpParse::kError;
    }
    bool too_large = false;
    long long size = chunk_size(line_text(data, at, end), &too_large);
    if (size < 0 || body->size() + static_cast<size_t>(size) > kHttpsAnswerLimit) {
      *error = too_large || size >= 0 ? "answer over 64 KB" : "not HTTP";
      return HttpParse::kError;
    }
    at = end + 1;
    if (size == 0) break;
    if (length - at < static_cast<size_t>(size)) return HttpParse::kIncomplete;
    body->append(data + at, static_cast<size_t>(size));
    at += static_cast<size_t>(size);
    // The data of a chunk is followed by its own line end.
    end = line_end(data, length, at);
    if (end == std::string::npos) {
      if (length - at < 2) return HttpParse::kIncomplete;
      *error = "not HTTP";
      return HttpParse::kError;
    }
    if (!line_text(data, at, end).empty()) {
      *error = "not HTTP";
      return HttpParse::kError;
    }
    at = end + 1;
  }
  // Trailer fields, ignored, up to an empty line.
  const size_t trailer_start = at;
  for (;;) {
    size_t end = line_end(data, length, at);
    if (end == std::string::npos || end - trailer_start > kHttpsHeadLimit) {
      if (end == std::string::npos && length - trailer_start <= kHttpsHeadLimit) {
        return HttpParse::kIncomplete;
      }
      *error = "answer trailer over 16 KB";
      return HttpParse::kError;
    }
    bool empty = line_text(data, at, end).empty();
    at = end + 1;
    if (empty) break;
  }
  *used = at;
  return HttpParse::kComplete;
}

HttpParse http_read_answer(const char* data, size_t length, bool closed, HttpAnswer* answer,
                           std::string* error) {
  error->clear();
  size_t from = 0;
  HttpParse state;
  Framing framing;
  size_t body_start = 0;
  // Interim 1xx answers come before the final one and carry no body.
  for (;;) {
    state = read_head(data, length, from, &answer->status, &framing, &body_start, error);
    if (state != HttpParse::kComplete || answer->status >= 200) break;
    from = body_start;
  }
  if (state == HttpParse::kError && error->empty()) *error = "answer headers over 16 KB";
  if (state == HttpParse::kComplete) {
    const char* body = data + body_start;
    size_t available = length - body_start;
    if (answer->status == 204 || answer->status == 304) {
      answer->body.clear();
    } else if (framing.chunked) {
      size_t used = 0;
      state = http_dechunk(body, available, &answer->body, &used, error);
    } else if (framing.content_length > static_cast<long long>(kHttpsAnswerLimit)) {
      *error = "answer over 64 KB";
      state = HttpParse::kError;
    } else if (framing.content_length >= 0) {
      size_t want = static_cast<size_t>(framing.content_length);
      state = available >= want ? HttpParse::kComplete : HttpParse::kIncomplete;
      if (state == HttpParse::kComplete) answer->body.assign(body, want);
    } else if (available > kHttpsAnswerLimit) {
      *error = "answer over 64 KB";
      state = HttpParse::kError;
    } else {
      // Neither length nor chunks: the body runs until the peer closes.
      state = closed ? HttpParse::kComplete : HttpParse::kIncomplete;
      if (closed) answer->body.assign(body, available);
    }
  }
  if (state == HttpParse::kIncomplete && closed) {
    *error = length == 0 ? "connection closed without an answer"
                         : "connection closed before the answer ended";
    return HttpParse::kError;
  }
  return state;
}
