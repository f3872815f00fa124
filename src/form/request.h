#pragma once
// The posted request: the body read from standard input and decoded by its
// CONTENT_TYPE (URL-encoded, multipart/form-data, text/plain or JSON) into
// the form table, with the file parts of a multipart body kept aside: their
// bytes go to the run's scratch file as the body comes (form/upload_split.h),
// so an upload never lies whole in memory. May use src/base, src/platform
// and src/form. Errors: reading never fails; a
// body that cannot be taken (over its cap, cut short, of an unknown type,
// malformed, without fields) sets `refused` with its Outcome, after one
// error line, and nothing of it is decoded; running out of memory ends the
// process (fatal_reply).

#include <cstddef>

#include "form/form.h"
#include "base/outcome.h"
#include "base/request.h"
#include "platform/file_stream.h"

// A multipart body may carry files, so its cap is larger: the most the
// attachments may take (20480 KB) and room for the text fields. The body is
// read before the settings, so both caps are fixed.
constexpr long kMaxAttachmentsKb = 20480;
constexpr long kMaxMultipartBody = kMaxAttachmentsKb * 1024 + kMaxFormBody;
constexpr int kMultipartTimeLimitSeconds = 120;

// A file part of a multipart body. Its entry in the form table holds the
// file name as its value.
struct FormFile {
  int entry;                 // the entry in the form table
  char* file_name;           // heap, as sent (UTF-8 when the client sent so)
  char content_type[128];    // lower-cased, "application/octet-stream" when not given
  long long offset;           // where its bytes start in FormRequest::upload
  size_t size;
};

// What reading the request found, owned by the driver for the whole run.
// Zero-initialise: `FormRequest request{};`.
struct FormRequest {
  // The body as read, NUL-ended; of a multipart body, all but the files'
  // bytes, which are in `upload`.
  char* body;
  size_t length;
  OsStreamFile upload;  // the run's scratch file holding the files' bytes

  char type[128];  // CONTENT_TYPE's media type, lower-cased; "" when absent
  bool refused;    // nothing may be sent: `outcome` says why
  Outcome outcome;
  FormFile* files;  // the file parts with a file name, in body order
  int file_count;
  // Set by the caller before reading: how a URL-encoded body is decoded
  // (form_decoding; the settings are read after the form).
  FormDecoding decoding;
  // Set by the caller before reading: the run's end, an os_monotonic_ms()
  // time (0: none); the body's own time limit ends no later.
  long long deadline_ms;
};

// Reads the request's CONTENT_LENGTH bytes of standard input (at most kMaxFormBody within
// kBodyTimeLimitSeconds; a multipart body kMaxMultipartBody within
// kMultipartTimeLimitSeconds, and never past request->deadline_ms) and decodes them into `form` by CONTENT_TYPE.
// A body over its cap (kTooLarge), one that stopped before CONTENT_LENGTH
// bytes came, in time, at all, or before the web server ended the run
// (SIGTERM, once os_catch_termination ran) (kMalformed), of an unknown type,
// malformed, or with no fields at all (URL-encoded bodies excepted) is
// refused: one error line, request->refused set, `form` empty.
// Called once per CGI run; `cgi` gives CONTENT_TYPE and CONTENT_LENGTH.
void read_form(const Request& cgi, FormTable* form, FormRequest* request);

// Decodes `body` of CONTENT_TYPE `content_type` (null: URL-encoded) into
// `form` and `request` (whose body it does not take), as read_form does.
void form_request_decode(const char* content_type, const char* body, size_t length,
                         FormTable* form, FormRequest* request);

// Releases the body once nothing needs it; the files stay readable.
void form_request_drop_body(FormRequest* request);

// Reads at most `size` bytes of file `index` of the request from its byte
// `offset` into `out`: what a reader of the attached files (a virus
// scanner, the message's writer) takes in blocks. Returns the count, 0 at
// the file's end, or -1 when the scratch file cannot be read.
long form_file_read(const FormRequest* request, int index, long long offset, void* out,
                    size_t size);

// Releases the body and the files (the scratch file is closed, which
// removes it) and empties the request.
void form_request_free(FormRequest* request);
