#include "form/multipart.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "base/program.h"
#include "base/text.h"
#include "base/utf8.h"
#include "form/content_type.h"

namespace {

constexpr size_t kMaxBoundary = 200;
constexpr size_t kNotFound = static_cast<size_t>(-1);
constexpr size_t kCharsetSize = 41;
// A part's header lines may take this many bytes: browsers send a few
// hundred; the bound keeps the decoding areas small whatever the body holds.
constexpr size_t kMaxPartHeaders = 16384;
constexpr size_t kHeaderScratchSize = 8 * kMaxPartHeaders + 8;
constexpr char kDefaultFileType[] = "application/octet-stream";

struct Framer {
  const char* body;
  size_t length;
  const char* boundary;
  size_t boundary_length;
};

// A part's bytes (headers, blank line, content) and what its headers said.
// The names point into the header scratch area: valid until the next part's
// headers are read.
struct Part {
  size_t start;
  size_t end;
  bool is_file;
  bool is_charset_field;  // a text part named "_charset_"
  const char* name;
  size_t name_length;
  const char* file_name;  // null for a text part
  size_t file_name_length;
  const char* content;
  size_t content_size;
  char type[128];  // lower-cased media type, "" when the part has none
  char charset[kCharsetSize];
};

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_space(char c) { return is_blank(c) || c == '\r' || c == '\n'; }

// Whether a delimiter line starts at `at`; if so *close tells whether it is
// the closing one and *next is the first byte after its line end.
bool delimiter_at(const Framer* f, size_t at, bool* close, size_t* next) {
  const char* b = f->body;
  if (f->length - at < 2 + f->boundary_length || b[at] != '-' || b[at + 1] != '-' ||
      memcmp(b + at + 2, f->boundary, f->boundary_length) != 0) {
    return false;
  }
  size_t p = at + 2 + f->boundary_length;
  bool closing = f->length - p >= 2 && b[p] == '-' && b[p + 1] == '-';
  if (closing) p += 2;
  while (p < f->length && is_blank(b[p])) ++p;
  if (p == f->length || (closing && b[p] == '\r')) {
    if (!closing) return false;
  } else if (b[p] == '\r' && p + 1 < f->length && b[p + 1] == '\n') {
    p += 2;
  } else if (b[p] == '\n') {
    p += 1;
  } else {
    return false;
  }
  *close = closing;
  *next = p;
  return true;
}

// The line feed before the first delimiter after `from`, or kNotFound. Each
// candidate is a line start; the boundary holds no line feed, so a failed
// comparison never reaches past the next one and the scan stays linear.
size_t find_delimiter(const Framer* f, size_t from, bool* close, size_t* next) {
  size_t p = from;
  while (p < f->length) {
    const char* lf = static_cast<const char*>(memchr(f->body + p, '\n', f->length - p));
    if (lf == nullptr) return kNotFound;
    size_t at = static_cast<size_t>(lf - f->body);
    if (delimiter_at(f, at + 1, close, next)) return at;
    p = at + 1;
  }
  return kNotFound;
}

bool fail(MultipartResult* result, const char* reason, size_t at) {
  result->error = reason;
  result->error_offset = at;
  return false;
}

bool out_of_memory(MultipartResult* result, size_t at) {
  result->out_of_memory = true;
  return fail(result, "out of memory", at);
}

// Finds the parts: the first `max_parts` go to parts[], the rest are counted
// in result->dropped. Sets *count.
bool frame_parts(const Framer* f, Part* parts, int max_parts, int* count, MultipartResult* result) {
  bool close = false;
  size_t next = 0;
  if (!delimiter_at(f, 0, &close, &next) && find_delimiter(f, 0, &close, &next) == kNotFound) {
    return fail(result, "no boundary in the body", 0);
  }
  *count = 0;
  while (!close) {
    size_t start = next;
    // From the delimiter's own line feed: a part may be empty.
    size_t lf = find_delimiter(f, start - 1, &close, &next);
    if (lf == kNotFound) return fail(result, "no closing boundary", f->length);
    size_t end = lf > start && f->body[lf - 1] == '\r' ? lf - 1 : lf;
    if (end < start) end = start;
    if (*count == max_parts) {
      ++result->dropped;
      continue;
    }
    Part* part = &parts[(*count)++];
    memset(part, 0, sizeof *part);
    part->start = start;
    part->end = end;
  }
  return true;
}

// The end of the header line starting at p (its LF or `end`).
size_t line_end(const char* body, size_t p, size_t end) {
  const char* lf = static_cast<const char*>(memchr(body + p, '\n', end - p));
  return lf != nullptr ? static_cast<size_t>(lf - body) : end;
}

// Whether [p, e) is an empty line (CR alone counts).
bool empty_line(const char* body, size_t p, size_t e) {
  return e == p || (e == p + 1 && body[p] == '\r');
}

// Copies the unfolded value of header `name` (the first one) in [start,
// header_end) to `out`, NUL-ended; returns its length or kNotFound when the
// header is absent.
size_t header_value(const char* body, size_t start, size_t header_end, const char* name,
                    char* out) {
  size_t name_length = strlen(name);
  size_t n = 0;
  bool inside = false;
  for (size_t p = start; p < header_end;) {
    size_t e = line_end(body, p, header_end);
    size_t stop = e > p && body[e - 1] == '\r' ? e - 1 : e;
    if (inside && is_blank(body[p])) {
      memcpy(out + n, body + p, stop - p);
      n += stop - p;
    } else if (inside) {
      break;
    } else if (stop - p > name_length && body[p + name_length] == ':' &&
               ascii_equal_n(body + p, name, name_length)) {
      inside = true;
      memcpy(out, body + p + name_length + 1, stop - p - name_length - 1);
      n = stop - p - name_length - 1;
    }
    p = e + 1;
  }
  if (!inside) return kNotFound;
  out[n] = '\0';
  return n;
}

// Splits the part into header lines and content; checks each header line
// has a name and a ':' (or is a folded continuation). Returns the end of
// the header lines, or kNotFound for a malformed line.
size_t split_headers(const char* body, Part* part) {
  size_t p = part->start;
  while (p < part->end) {
    size_t e = line_end(body, p, part->end);
    if (empty_line(body, p, e)) {
      part->content = body + (e < part->end ? e + 1 : part->end);
      part->content_size = static_cast<size_t>(body + part->end - part->content);
      return p;
    }
    if (!is_blank(body[p]) && memchr(body + p, ':', e - p) == nullptr) return kNotFound;
    if (p == part->start && is_blank(body[p])) return kNotFound;
    p = e + 1;
  }
  part->content = body + part->end;
  part->content_size = 0;
  return part->end;
}

// Reads Content-Disposition and Content-Type of the part. `area`
// (kHeaderScratchSize bytes) takes both unfolded values, then the decoded
// name and file name. Returns null, or the reason the headers are refused.
const char* read_part_headers(const char* body, Part* part, char* area) {
  size_t header_end = split_headers(body, part);
  if (header_end == kNotFound) return "malformed part header";
  size_t size = header_end - part->start;
  if (size > kMaxPartHeaders) return "part headers too long";
  char* disposition = area;
  char* type = disposition + size + 1;
  char* name = type + size + 1;
  char* file_name = name + 2 * size + 1;
  char* scratch = file_name + 2 * size + 1;
  size_t d = header_value(body, part->start, header_end, "content-disposition", disposition);
  char kind[16];
  if (d == kNotFound || !header_type(disposition, d, kind, sizeof kind) ||
      strcmp(kind, "form-data") != 0) {
    return "part without a form-data name";
  }
  HeaderParam found = header_param(disposition, d, "name", name, 2 * size + 1, &part->name_length);
  if (found == HeaderParam::kAbsent) return "part without a form-data name";
  HeaderParam file =
      header_param(disposition, d, "filename", file_name, 2 * size + 1, &part->file_name_length);
  if (found == HeaderParam::kMalformed || file == HeaderParam::kMalformed) {
    return "malformed part header";
  }
  part->name = name;
  part->file_name = file == HeaderParam::kFound ? file_name : nullptr;
  part->is_file = part->file_name != nullptr;
  part->is_charset_field = !part->is_file && strcmp(name, "_charset_") == 0;
  size_t t = header_value(body, part->start, header_end, "content-type", type);
  if (t == kNotFound) return nullptr;
  size_t charset_length = 0;
  if (!header_type(type, t, part->type, sizeof part->type) ||
      header_param(type, t, "charset", scratch, 2 * size + 1, &charset_length) ==
          HeaderParam::kMalformed) {
    return "malformed part header";
  }
  for (size_t i = 0; i < charset_length && i + 1 < kCharsetSize; ++i) {
    part->charset[i] = ascii_lower(scratch[i]);
  }
  return nullptr;
}

enum class Charset { kUtf8, kLatin1, kOther };

Charset charset_kind(const char* name) {
  static const char* const kUtf8[] = {"", "utf-8", "utf8", "us-ascii"};
  static const char* const kLatin1[] = {"iso-8859-1", "iso8859-1", "latin1", "iso_8859-1"};
  for (const char* n : kUtf8) {
    if (strcmp(name, n) == 0) return Charset::kUtf8;
  }
  for (const char* n : kLatin1) {
    if (strcmp(name, n) == 0) return Charset::kLatin1;
  }
  return Charset::kOther;
}

// A warning about the part's value: its charset was not converted (when
// `charset` is given) or it is not valid UTF-8. The name and charset are
// the visitor's: escaped as the log escapes outside text.
void warn(const MultipartSink* sink, const Part* part, const char* charset) {
  TextBuffer* line = text_buffer_new("field \"");
  log_escape_append(line, part->name, part->name_length > 100 ? 100 : part->name_length);
  if (charset != nullptr) {
    text_buffer_append(line, "%s", "\": charset \"");
    log_escape_append(line, charset, strlen(charset));
    text_buffer_append(line, "%s", "\" is not converted, its bytes are kept");
  } else {
    text_buffer_append(line, "%s", "\": value is not valid UTF-8, its bytes are kept");
  }
  sink->warning(sink->context, line->data);
  text_buffer_free(line);
}

// Hands over one text part: converted by its charset, CR dropped.
bool deliver_text(const Part* part, const char* form_charset, const MultipartSink* sink) {
  const char* charset = part->charset[0] != '\0' ? part->charset : form_charset;
  Charset kind = charset_kind(charset);
  size_t room = (kind == Charset::kLatin1 ? 2 : 1) * part->content_size + 1;
  char* value = static_cast<char*>(malloc(room));
  if (value == nullptr) return false;
  size_t n;
  if (kind == Charset::kLatin1) {
    n = latin1_to_utf8(part->content, part->content_size, value);
  } else {
    memcpy(value, part->content, part->content_size);
    n = part->content_size;
    if (kind == Charset::kOther) {
      warn(sink, part, charset);
    } else if (!utf8_valid(value, n)) {
      warn(sink, part, nullptr);
    }
  }
  size_t kept = 0;
  for (size_t i = 0; i < n; ++i) {
    if (value[i] != '\r') value[kept++] = value[i];
  }
  value[kept] = '\0';
  sink->text_field(sink->context, part->name, part->name_length, value, kept);
  free(value);
  return true;
}

// The `_charset_` field's value, trimmed and lower-cased, into out.
void form_charset(const Part* parts, int count, char* out) {
  out[0] = '\0';
  for (int i = 0; i < count; ++i) {
    const Part& p = parts[i];
    if (!p.is_charset_field) continue;
    size_t s = 0;
    size_t e = p.content_size;
    while (s < e && is_space(p.content[s])) ++s;
    while (e > s && is_space(p.content[e - 1])) --e;
    size_t n = 0;
    for (; s < e && n + 1 < kCharsetSize; ++s) out[n++] = ascii_lower(p.content[s]);
    out[n] = '\0';
    return;
  }
}

bool deliver(const char* body, Part* parts, int count, char* area, const MultipartSink* sink,
             MultipartResult* result) {
  char charset[kCharsetSize];
  form_charset(parts, count, charset);
  for (int i = 0; i < count; ++i) {
    Part& p = parts[i];
    // The headers were read once already: this reading cannot fail.
    (void)read_part_headers(body, &p, area);
    if (p.file_name == nullptr) {
      if (!deliver_text(&p, charset, sink)) return out_of_memory(result, p.start);
    } else {
      MultipartFile file = {p.name,
                            p.name_length,
                            p.file_name,
                            p.file_name_length,
                            p.type[0] != '\0' ? p.type : kDefaultFileType,
                            p.content,
                            p.content_size};
      sink->file_field(sink->context, &file);
    }
    ++result->fields;
  }
  return true;
}

bool valid_boundary(const char* boundary, size_t length) {
  if (length == 0 || length > kMaxBoundary) return false;
  return memchr(boundary, '\r', length) == nullptr && memchr(boundary, '\n', length) == nullptr;
}

// Reads every part's headers and adds up the text parts' bytes; false when
// a header is refused or the text is over `max_text`.
bool check_parts(const char* body, Part* parts, int count, char* area, size_t max_text,
                 MultipartResult* result) {
  for (int i = 0; i < count; ++i) {
    const char* error = read_part_headers(body, &parts[i], area);
    if (error != nullptr) return fail(result, error, parts[i].start);
    if (!parts[i].is_file) result->text_size += parts[i].content_size;
  }
  if (result->text_size <= max_text) return true;
  result->too_large = true;
  return fail(result, "text fields over their cap", 0);
}

}  // namespace

bool multipart_decode(const char* body, size_t length, const char* boundary, int max_fields,
                      size_t max_text, const MultipartSink* sink, MultipartResult* result) {
  *result = MultipartResult{};
  Framer f = {body, length, boundary, strlen(boundary)};
  if (!valid_boundary(boundary, f.boundary_length)) return fail(result, "invalid boundary", 0);
  if (max_fields < 0) max_fields = 0;
  Part* parts = static_cast<Part*>(calloc(static_cast<size_t>(max_fields) + 1, sizeof(Part)));
  if (parts == nullptr) return out_of_memory(result, 0);
  char* area = static_cast<char*>(malloc(kHeaderScratchSize));
  int count = 0;
  bool ok = area != nullptr ? frame_parts(&f, parts, max_fields, &count, result)
                            : out_of_memory(result, 0);
  if (ok) ok = check_parts(body, parts, count, area, max_text, result);
  if (ok) ok = deliver(body, parts, count, area, sink, result);
  free(area);
  free(parts);
  if (!ok) result->dropped = 0;
  return ok;
}

bool multipart_headers_name_file(const char* headers, size_t length) {
  if (length > kMaxPartHeaders) return false;
  char* area = static_cast<char*>(malloc(kHeaderScratchSize));
  if (area == nullptr) return false;
  Part part;
  memset(&part, 0, sizeof part);
  part.start = 0;
  part.end = length;
  bool file = read_part_headers(headers, &part, area) == nullptr && part.is_file;
  free(area);
  return file;
}
