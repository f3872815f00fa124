#pragma once
// A small HTTPS/1.1 client for one POST of a form-encoded body and its
// answer, as the CAPTCHA guard needs it. A layer of its own above
// src/platform (sockets, TLS) and src/base, below src/compose: it may use
// those two and nothing above them, and it keeps no state between calls.
//
// Conventions: every function returns false (or an error outcome) on
// failure with a one-line reason in an `error` text of `error_size` bytes
// (cut short when it does not fit); nothing is logged here, so that the
// caller decides what a log line may show (the body it posts may hold a
// secret, and the reasons never quote it). Memory is malloc/realloc/free
// only (no C++ library containers or strings); memory that runs out ends
// the run through fatal_reply(kOutOfMemory), as everywhere else.

#include <cstddef>

// The most of a decoded answer body that is accepted; more is an error.
constexpr size_t kHttpsAnswerLimit = 64 * 1024;
// The most of a status line and header block (and of a chunked trailer).
constexpr size_t kHttpsHeadLimit = 16 * 1024;
// Room for any reason given here, a host name as long as DNS allows included.
constexpr size_t kHttpsErrorSize = 512;

// Bytes on the heap, NUL bytes allowed among them and one NUL after them.
// `data` is null until the first http_bytes_set or http_bytes_append, then
// never again. Release with http_bytes_free.
struct HttpBytes {
  char* data = nullptr;
  size_t length = 0;
  size_t capacity = 0;  // of the block, the NUL after the bytes included
};

// Appends `length` bytes; grows the block as needed.
void http_bytes_append(HttpBytes* bytes, const char* data, size_t length);
// Replaces the bytes (the block is kept and never shrinks).
void http_bytes_set(HttpBytes* bytes, const char* data, size_t length);
// Releases the block; the bytes are empty and null after it.
void http_bytes_free(HttpBytes* bytes);

struct HttpsUrl {
  char* host = nullptr;  // heap; a DNS name or a dotted IPv4 address, lower case
  int port = 443;
  char* path = nullptr;  // heap; from the first "/" on, query included; "/" when none
};

// Splits "https://host[:port][/path]" into *parsed (release it with
// https_url_free). False with a reason in `error` for anything else:
// another scheme, user information, an IPv6 or malformed host, a port
// outside 1-65535, a fragment, or control characters and spaces anywhere
// (they would end the request line); *parsed holds nothing then.
bool https_parse_url(const char* url, HttpsUrl* parsed, char* error, size_t error_size);

// Releases the host and path of *url; null members are allowed.
void https_url_free(HttpsUrl* url);

// What reading an answer came to so far.
enum class HttpParse { kIncomplete, kComplete, kError };

// Decodes a chunked body from `data` (the bytes after the header block):
// chunk sizes in hex with optional extensions, then the trailer lines up to
// an empty one. On kComplete *body holds the decoded bytes and *used how much
// of `data` the encoding took. kError with `error` for a malformed encoding
// or a body over kHttpsAnswerLimit ("answer over 64 KB").
HttpParse http_dechunk(const char* data, size_t length, HttpBytes* body, size_t* used,
                       char* error, size_t error_size);

struct HttpAnswer {
  int status = 0;  // the final (non-1xx) status
  HttpBytes body;  // decoded; the caller releases it
};

// Reads an HTTP/1.x answer from the bytes received so far; `closed` says the
// peer has ended the connection (which completes a body without a length).
// Interim 1xx answers are passed over. On kComplete answer->body holds the
// body (never null then). kError with `error`: "not HTTP" for a bad status
// line or header block, "answer over 64 KB", "connection closed before the
// answer ended", or what else is wrong.
HttpParse http_read_answer(const char* data, size_t length, bool closed, HttpAnswer* answer,
                           char* error, size_t error_size);

struct HttpsResult {
  bool ok = false;  // a whole answer was read, whatever its status
  int status = 0;   // its HTTP status; 0 when none was read
  HttpBytes body;   // its decoded body (at most kHttpsAnswerLimit bytes)
  // Without ok: what failed, e.g. "connection refused by 127.0.0.1:8443",
  // "timed out after 5 s", "answer over 64 KB", "not HTTP", "cannot resolve
  // HOST", or the TLS layer's own reason ("certificate not trusted"...).
  char error[kHttpsErrorSize] = {};
};

// POSTs `body` (`length` bytes, already form-encoded) to `url` with
// Content-Type application/x-www-form-urlencoded and Connection: close,
// and reads the answer into *result (overwritten: release a former one
// first; release this one with https_result_free). The whole exchange
// (resolve, connect, handshake, write, read) ends by one deadline
// `timeout_seconds` (at least 1) after the call, on the monotonic clock.
// The platform calls wait in whole seconds, so each gets the time left
// rounded up: a step may end up to a second past the deadline, and then the
// next one is not begun. Resolving a name has no limit of its own (the
// system resolver's); the deadline is checked after it. The certificate is
// checked as tls_start does, with `ca_file` (may be null) adding trusted
// roots. Returns result->ok.
bool https_post_form(const char* url, const char* body, size_t length,
                     const char* ca_file, int timeout_seconds,
                     HttpsResult* result);

// Releases the body of *result.
void https_result_free(HttpsResult* result);
