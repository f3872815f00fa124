#pragma once
// The HTTP/1.1 client: one request and its answer per call, over plain TCP
// (http://), TLS (https://, the certificate checked as tls_start does) or a
// Unix-domain socket. A layer of its own above src/platform (sockets, TLS)
// and src/base, below the layers that ask outside services (the CAPTCHA
// check): it may use those two and nothing above them, and it keeps no
// state between calls. Its parts: http_url.h (URLs), http_answer.h (reading
// an answer), this file (the exchange).
//
// Conventions of the whole layer: every function returns false (or an error
// outcome) on failure with a one-line reason in an `error` text of
// `error_size` bytes (cut short when it does not fit); nothing is logged
// here, so that the caller decides what a log line may show (the body it
// sends may hold a secret, and the reasons never quote it). Memory is
// malloc/realloc/free and the base byte buffer (TextBuffer) only; memory
// that runs out ends the run through fatal_reply(kOutOfMemory), as
// everywhere else.

#include <cstddef>

#include "base/text.h"
#include "http/http_answer.h"
#include "http/http_url.h"

// Room for any reason given here, a host name as long as DNS allows included.
constexpr size_t kHttpErrorSize = 512;

// One request header line, "name: value".
struct HttpHeader {
  const char* name;   // a token: no blanks, colons or control characters
  const char* value;  // one line: no CR, LF or other control character but tab
};

struct HttpRequest {
  const char* method = "GET";        // a token: "GET", "POST", ...
  const char* url = nullptr;         // http://... or https://... (http_url.h)
  // Not null: the connection goes to the Unix-domain socket at this path,
  // and the URL gives the Host header, the path and whether TLS is used.
  const char* unix_socket = nullptr;
  const char* content_type = nullptr;  // with a body: its Content-Type; null for none
  const char* body = nullptr;          // null: no body and no Content-Length
  size_t body_length = 0;
  const HttpHeader* headers = nullptr;  // after the body's headers, in order
  int header_count = 0;
  const char* ca_file = nullptr;  // PEM roots trusted besides the system's; may be null
  // The exchange (resolve, connect, handshake, write, read) ends by the
  // earlier of `timeout_seconds` after the call (below 1 counts as 1) and
  // `deadline_ms` (an absolute os_monotonic_ms(); 0: none).
  int timeout_seconds = 0;
  long long deadline_ms = 0;
};

struct HttpResult {
  bool ok = false;  // a whole answer was read, whatever its status
  // The answer (status 0 and no body when none was read); http_result_free
  // releases it.
  HttpAnswer answer;
  // Without ok: what failed, e.g. "connection refused by 127.0.0.1:8443",
  // "timed out after 5 s", "answer over 64 KB", "not HTTP", "cannot resolve
  // HOST", or the TLS layer's own reason ("certificate not trusted"...).
  char error[kHttpErrorSize] = {};
};

// Sends `request` and reads the answer into *result (overwritten: release a
// former one first). The request is: the request line, Host (with the port
// when it is not the scheme's own), User-Agent, Content-Type and
// Content-Length for a body, the caller's headers, Connection: close, then
// the body. The platform calls wait in whole seconds, so each gets the time
// left rounded up: a step may end up to a second past the deadline, and
// then the next one is not begun. Resolving a name has no limit of its own
// (the system resolver's); the deadline is checked after it. The request's
// copy of the body is wiped before it is released. Returns result->ok.
bool http_exchange(const HttpRequest& request, HttpResult* result);

// Releases the answer of *result.
void http_result_free(HttpResult* result);
