#pragma once
// Reading an HTTP/1.x answer out of the bytes received so far: status line,
// header block, and the body by chunks, by length or up to the close. Touches
// no socket; works on its arguments (see http_client.h for the layer's
// rules). May use src/base only.

#include <cstddef>

#include "base/text.h"

// The most of a decoded answer body that is accepted; more is an error.
constexpr size_t kHttpAnswerLimit = 64 * 1024;
// The most of a status line and header block (and of a chunked trailer).
constexpr size_t kHttpHeadLimit = 16 * 1024;

// What reading an answer came to so far.
enum class HttpParse { kIncomplete, kComplete, kError };

// Decodes a chunked body from `data` (the bytes after the header block):
// chunk sizes in hex with optional extensions, then the trailer lines up to
// an empty one. `body` (a buffer of the caller's) is emptied first; on
// kComplete it holds the decoded bytes and *used how much of `data` the
// encoding took. kError with `error` for a malformed encoding ("not HTTP")
// or a body over kHttpAnswerLimit ("answer over 64 KB").
HttpParse http_dechunk(const char* data, size_t length, TextBuffer* body, size_t* used,
                       char* error, size_t error_size);

// The final answer as read; heap members the caller releases with
// http_answer_free.
struct HttpAnswer {
  int status = 0;               // the final (non-1xx) status
  TextBuffer* body = nullptr;   // decoded; made at the first need
  // Copies of these header values (blanks around them trimmed) when the
  // answer carried them (the last one of each); null when it did not.
  char* content_type = nullptr;
  char* retry_after = nullptr;
  char* location = nullptr;
};

// Reads an HTTP/1.x answer from the bytes received so far; `closed` says the
// peer has ended the connection (which completes a body without a length).
// Interim 1xx answers are passed over. On kComplete answer->body holds the
// body (never null then) and the header copies are set. kError with `error`:
// "not HTTP" for a bad status line, header block or chunked encoding,
// "answer over 64 KB", "connection closed before the answer ended", or what
// else is wrong.
HttpParse http_read_answer(const char* data, size_t length, bool closed, HttpAnswer* answer,
                           char* error, size_t error_size);

// Releases what *answer holds; it is empty after.
void http_answer_free(HttpAnswer* answer);
