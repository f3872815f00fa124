#pragma once
// The multipart/form-data body decoder (RFC 7578 over RFC 2046 framing).
//
// Delimiters are "--" boundary lines, ended by CRLF or by a bare LF as some
// clients send, optionally with blanks (transport padding) before the line
// end; the line end before a delimiter belongs to it. A line that starts
// with "--" boundary but goes on with anything else is content. The
// preamble and epilogue are ignored; the closing "--" boundary "--" is
// required. Part headers: names ignoring case, folded lines joined; only
// Content-Disposition (form-data, `name`, `filename`) and Content-Type
// (media type, `charset`) are read; Content-Transfer-Encoding is ignored, as
// RFC 7578 4.7 deprecates it.
//
// The whole body is framed and every part's headers are read before the
// sink hears of any field, so a malformed body hands over nothing. Time and
// memory are linear in the body; file bytes are handed over as pointers into
// it. Uses base/, form/content_type.h and form/field_sink.h only.

#include <cstddef>

#include "form/field_sink.h"

// A file part: one with a `filename` parameter, even an empty one (a file
// input left empty). All texts are valid only during the callback.
struct MultipartFile {
  const char* name;  // the field name (NUL-ended)
  size_t name_length;
  const char* file_name;  // as sent (filename* converted to UTF-8), maybe ""
  size_t file_name_length;
  // The part's media type lower-cased without parameters, or
  // "application/octet-stream" when it has none (RFC 7578 4.4).
  const char* content_type;
  const char* data;  // into the body: the exact bytes, CR and NUL included
  size_t size;
};

struct MultipartSink {
  // A text part: the value in UTF-8 where its charset allowed (see
  // multipart_decode), carriage returns dropped. Values may hold NUL bytes.
  FormFieldFn text_field;
  void (*file_field)(void* context, const MultipartFile* file);
  // One line for the log, e.g. a charset that was not converted.
  void (*warning)(void* context, const char* message);
  void* context;
};

struct MultipartResult {
  int fields;           // handed to the sink
  int dropped;          // parts after the first max_fields, counted only
  const char* error;    // null when the body was decoded; a static reason
  size_t error_offset;  // where in the body the error was found
  size_t text_size;     // the bytes of the text parts' contents
  bool too_large;       // the error is the text over max_text
  bool out_of_memory;   // the error is memory that ran out
};

// Decodes `body` framed by `boundary` (NUL-ended, 1-200 bytes without CR
// or LF: RFC 2046 says at most 70, longer ones are taken). Hands at most
// `max_fields` parts to `sink`, in body order; the contents of its text
// parts (the parts without a file name) may hold `max_text` bytes in all. Text values are decoded by
// the part's own `charset`, else by the value of a `_charset_` field (RFC
// 7578 4.6, wherever it stands; it is handed over like any field), else as
// UTF-8: UTF-8 (and US-ASCII) is checked and kept, ISO-8859-1 converted;
// bytes that fail the check, or another charset, are kept as they are with
// a warning. Field and file names are kept as sent (browsers send UTF-8
// names from UTF-8 pages; `filename*` is always converted to UTF-8).
// Returns true on success; false with result->error set ("no closing
// boundary", "invalid boundary", "no boundary in the body", "part without
// a form-data name", "malformed part header", "part headers too long"
// (over 16384 bytes), "text fields over their cap" (with too_large), "out
// of memory" (with out_of_memory)), and then no field was handed over.
// A part whose headers have no blank line after them has empty content
// (RFC 2046 allows it).
bool multipart_decode(const char* body, size_t length, const char* boundary, int max_fields,
                      size_t max_text, const MultipartSink* sink, MultipartResult* result);

// Whether the header lines of one part (`length` bytes, up to the blank
// line that ends them, not including it) read well and name a file: what
// lets a reader of the body send that part's content elsewhere before the
// whole body is decoded. False when they cannot be read (the decoding
// refuses them later).
bool multipart_headers_name_file(const char* headers, size_t length);
