#include "form/request.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "base/program.h"
#include "form/content_type.h"
#include "form/json_form.h"
#include "form/multipart.h"
#include "form/text_plain.h"
#include "form/upload_split.h"
#include "platform/os.h"

namespace {

// atoi's reading (leading blanks, a sign, digits up to the first other
// character), saturating instead of overflowing on absurd lengths.
long parse_length(const char* text) {
  while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  long value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    if (value < LONG_MAX / 10) value = value * 10 + (*text - '0');
  }
  return negative ? -value : value;
}

// Reads into buf[0..len) until it is full, the input ends or the deadline
// passes; returns the bytes read and sets *timed_out when time ran out.
size_t read_until(char* buf, size_t len, long long deadline_ms, bool* timed_out) {
  size_t got = 0;
  while (got < len) {
    size_t chunk = len - got > static_cast<size_t>(INT_MAX) ? INT_MAX : len - got;
    int n = os_read_stdin(buf + got, static_cast<int>(chunk), deadline_ms);
    if (n == kOsReadTimedOut) *timed_out = true;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  return got;
}

// Reads and drops up to `len` bytes; returns how many were read.
long long discard_until(long long len, long long deadline_ms, bool* timed_out) {
  constexpr size_t kSinkSize = 65536;
  char* sink = static_cast<char*>(malloc(kSinkSize));
  if (sink == nullptr) fatal_reply(kOutOfMemoryCopy);
  long long done = 0;
  while (done < len) {
    long long left = len - done;
    size_t chunk = left < static_cast<long long>(kSinkSize) ? static_cast<size_t>(left) : kSinkSize;
    size_t n = read_until(sink, chunk, deadline_ms, timed_out);
    done += static_cast<long long>(n);
    if (n < chunk) break;
  }
  free(sink);
  return done;
}

enum class BodyKind { kUrlEncoded, kMultipart, kTextPlain, kJson, kUnknown };

struct KindName {
  const char* type;
  BodyKind kind;
};

const KindName kKinds[] = {
    {"application/x-www-form-urlencoded", BodyKind::kUrlEncoded},
    {"multipart/form-data", BodyKind::kMultipart},
    {"text/plain", BodyKind::kTextPlain},
    {"application/json", BodyKind::kJson},
};

// Fills request->type from CONTENT_TYPE and tells which decoder it asks
// for; an unreadable value is kUnknown with type "".
BodyKind body_kind(const char* content_type, FormRequest* request) {
  request->type[0] = '\0';
  if (content_type == nullptr || content_type[0] == '\0') return BodyKind::kUrlEncoded;
  if (!header_type(content_type, strlen(content_type), request->type, sizeof request->type)) {
    return BodyKind::kUnknown;
  }
  for (const KindName& k : kKinds) {
    if (strcmp(request->type, k.type) == 0) return k.kind;
  }
  return BodyKind::kUnknown;
}

const char* shown_type(const FormRequest* request, const char* content_type) {
  return request->type[0] != '\0' ? request->type : log_quote(0, content_type);
}

// Ends the decoding: one error line, the form emptied, nothing to be sent.
void refuse(FormTable* form, FormRequest* request, Outcome outcome, const char* what) {
  log_event(LOG_ERROR, "the form body of type {%s} was refused: %s; nothing sent.",
            request->type[0] != '\0' ? request->type : "none", what);
  form_free(form);
  for (int i = 0; i < request->file_count; ++i) free(request->files[i].file_name);
  request->file_count = 0;
  request->refused = true;
  request->outcome = outcome;
}

// Appends an entry; a NUL byte ends the name or the value, as a decoded
// NUL does in a URL-encoded body.
void add_entry(FormTable* form, const char* name, size_t name_length, const char* value,
               size_t value_length) {
  if (form->count >= kMaxFormPairs) return;
  const char* nul = static_cast<const char*>(memchr(name, '\0', name_length));
  if (nul != nullptr) name_length = static_cast<size_t>(nul - name);
  nul = static_cast<const char*>(memchr(value, '\0', value_length));
  if (nul != nullptr) value_length = static_cast<size_t>(nul - value);
  form->names[form->count] = copy_bytes_or_die(name, name_length, kOutOfMemoryCopy);
  form->values[form->count] = copy_bytes_or_die(value, value_length, kOutOfMemoryCopy);
  ++form->count;
}

struct Target {
  FormTable* form;
  FormRequest* request;
  int capacity;  // of request->files
  const char* body;            // the decoded body
  const UploadSplit* split;    // where its files' bytes went; null: in the body
};

// The bytes of a file part that are still in the decoded body go to the
// scratch file too, so every file is read the same way. They are written
// at its end: past every piece the body's reading cut out and every file
// kept so far (each write appends), which *offset receives.
bool store_in_scratch(const Target* t, const char* data, size_t size, long long* offset) {
  *offset = 0;
  if (size == 0) return true;
  FormRequest* r = t->request;
  if (r->upload.handle == kNoStreamFile && os_scratch_open(&r->upload) != 0) return false;
  long long end = 0;
  for (int i = 0; i < r->file_count; ++i) {
    long long e = r->files[i].offset + static_cast<long long>(r->files[i].size);
    if (e > end) end = e;
  }
  for (int i = 0; t->split != nullptr && i < t->split->piece_count; ++i) {
    const UploadPiece& p = t->split->pieces[i];
    if (p.offset + p.size > end) end = p.offset + p.size;
  }
  *offset = end;
  return os_stream_write(&r->upload, data, size) == 0;
}

// Where the file part whose (cut out) content starts at `data` has its
// bytes; false when it was not cut out.
bool piece_of(const Target* t, const char* data, long long* offset, size_t* size) {
  if (t->split == nullptr) return false;
  size_t at = static_cast<size_t>(data - t->body);
  for (int i = 0; i < t->split->piece_count; ++i) {
    const UploadPiece& p = t->split->pieces[i];
    if (p.at != at) continue;
    *offset = p.offset;
    *size = static_cast<size_t>(p.size);
    return true;
  }
  return false;
}

void on_text(void* context, const char* name, size_t name_length, const char* value,
             size_t value_length) {
  add_entry(static_cast<Target*>(context)->form, name, name_length, value, value_length);
}

// A file input left empty sends an empty part without a file name: its
// field is there, with an empty value, and there is no file.
void on_file(void* context, const MultipartFile* file) {
  Target* t = static_cast<Target*>(context);
  add_entry(t->form, file->name, file->name_length, file->file_name, file->file_name_length);
  long long offset = 0;
  size_t size = file->size;
  bool cut = file->size == 0 && piece_of(t, file->data, &offset, &size);
  if (file->file_name_length == 0 && size == 0) return;
  FormRequest* r = t->request;
  if (r->file_count == t->capacity) {
    t->capacity = t->capacity == 0 ? 8 : 2 * t->capacity;
    void* grown = realloc(r->files, static_cast<size_t>(t->capacity) * sizeof(FormFile));
    if (grown == nullptr) fatal_reply(kOutOfMemoryCopy);
    r->files = static_cast<FormFile*>(grown);
  }
  // Stored before it is listed: the scratch file's end is past the files
  // listed so far, not past this one.
  if (!cut && !store_in_scratch(t, file->data, file->size, &offset)) {
    char* name = copy_bytes_or_die(file->file_name, file->file_name_length, kOutOfMemoryCopy);
    log_event(LOG_ERROR, "the uploaded file {%s} cannot be kept in a temporary file.",
              log_quote(0, name));
    fatal_reply(kOutOfMemoryCopy);
  }
  FormFile* f = &r->files[r->file_count++];
  f->entry = t->form->count - 1;
  f->file_name = copy_bytes_or_die(file->file_name, file->file_name_length, kOutOfMemoryCopy);
  snprintf(f->content_type, sizeof f->content_type, "%s", file->content_type);
  f->size = size;
  f->offset = offset;
}

void on_warning(void*, const char* message) { log_event(LOG_ERROR, "form body: %s.", message); }

void log_dropped(const FormTable* form, int dropped) {
  if (dropped <= 0) return;
  log_event(LOG_ERROR, "form has %ld fields: the %ld after the %dth were dropped.",
            static_cast<long>(form->count) + dropped, static_cast<long>(dropped), kMaxFormPairs);
}

// The decoders' own reason with where it was found.
void refuse_malformed(FormTable* form, FormRequest* request, const char* error, size_t at) {
  char what[160];
  snprintf(what, sizeof what, "%s (at byte %llu)", error,
           static_cast<unsigned long long>(at));
  refuse(form, request, Outcome::kMalformed, what);
}

void decode_multipart(const char* content_type, const char* body, size_t length, FormTable* form,
                      FormRequest* request, const UploadSplit* split) {
  size_t type_length = strlen(content_type);
  char* boundary = static_cast<char*>(malloc(2 * type_length + 1));
  if (boundary == nullptr) fatal_reply(kOutOfMemoryCopy);
  size_t boundary_length = 0;
  HeaderParam found = header_param(content_type, type_length, "boundary", boundary,
                                   2 * type_length + 1, &boundary_length);
  if (found != HeaderParam::kFound) {
    free(boundary);
    refuse(form, request, Outcome::kMalformed,
           found == HeaderParam::kAbsent ? "no boundary parameter" : "unreadable boundary");
    return;
  }
  Target target = {form, request, 0, body, split};
  MultipartSink sink = {on_text, on_file, on_warning, &target};
  MultipartResult result;
  bool ok = multipart_decode(body, length, boundary, kMaxFormPairs - form->count,
                             static_cast<size_t>(kMaxFormBody), &sink, &result);
  free(boundary);
  if (!ok && result.out_of_memory) fatal_reply(kOutOfMemoryCopy);
  if (!ok && result.too_large) {
    char what[200];
    snprintf(what, sizeof what, "its text fields hold %llu bytes, more than the %d they may",
             static_cast<unsigned long long>(result.text_size), kMaxFormBody);
    refuse(form, request, Outcome::kTooLarge, what);
    return;
  }
  if (!ok) {
    size_t at = split != nullptr ? upload_split_body_offset(split, result.error_offset)
                                 : result.error_offset;
    refuse_malformed(form, request, result.error, at);
    return;
  }
  log_dropped(form, result.dropped);
}

void decode_json(const char* body, size_t length, FormTable* form, FormRequest* request) {
  Target target = {form, request, 0, body, nullptr};
  JsonFormResult result;
  if (!json_form_decode(body, length, kMaxFormPairs - form->count, on_text, &target, &result)) {
    if (result.out_of_memory) fatal_reply(kOutOfMemoryCopy);
    refuse_malformed(form, request, result.error, result.error_offset);
    return;
  }
  log_dropped(form, result.dropped);
}

void decode_text_plain(const char* body, size_t length, FormTable* form) {
  int dropped = 0;
  Target target = {form, nullptr, 0, body, nullptr};
  if (text_plain_decode(body, length, kMaxFormPairs - form->count, on_text, &target, &dropped) <
      0) {
    fatal_reply(kOutOfMemoryCopy);
  }
  log_dropped(form, dropped);
}

// How much of the body is kept and for how long the reading may take.
struct BodyLimits {
  long cap;
  int seconds;
};

BodyLimits body_limits(BodyKind kind) {
  if (kind == BodyKind::kMultipart) {
    return BodyLimits{kMaxMultipartBody, kMultipartTimeLimitSeconds};
  }
  return BodyLimits{kMaxFormBody, kBodyTimeLimitSeconds};
}

// How much of the announced body arrived.
struct BodyRead {
  bool over;           // CONTENT_LENGTH is over the cap: nothing kept
  bool timed_out;      // the time limit passed before the input ended
  bool stopped;        // the files could not be kept: the reading stopped
  long long got;       // bytes read, a dropped rest included
  long total;          // CONTENT_LENGTH's value
  int seconds;         // the time the body had, rounded up
};

// The body's blocks as they come: into the split (a multipart body, whose
// files go to the scratch file) or into one area. Returns the bytes read;
// sets *timed_out, and *stopped when the split could not take a block.
size_t read_blocks(char* area, size_t wanted, long long deadline, UploadSplit* split,
                   bool* timed_out, bool* stopped) {
  if (split == nullptr) return read_until(area, wanted, deadline, timed_out);
  constexpr size_t kBlock = 65536;
  size_t got = 0;
  while (got < wanted) {
    size_t chunk = wanted - got < kBlock ? wanted - got : kBlock;
    size_t n = read_until(area, chunk, deadline, timed_out);
    got += n;
    if (!upload_split_feed(split, area, n)) {
      *stopped = true;
      break;
    }
    if (n < chunk) break;
  }
  if (!*stopped && got == wanted && !upload_split_finish(split)) *stopped = true;
  return got;
}

// Reads the body into request->body when it is within limits.cap, else
// only drains it; a body that stops before CONTENT_LENGTH keeps what came.
// With `split`, the body is read in blocks through it and request->body is
// what it kept.
BodyRead read_body(const BodyLimits& limits, const char* length_text, FormRequest* request,
                   UploadSplit* split) {
  BodyRead read = {false, false, false, 0, parse_length(length_text != nullptr ? length_text : ""), 0};
  long wanted = read.total;
  os_stdin_binary();
  // A body that is refused whole is not kept at all, only drained.
  read.over = wanted > limits.cap;
  if (read.over) wanted = 0;
  // A client that sends slowly, or never, must not hold the run: the whole
  // body, kept and dropped part alike, has its time limit, and the run's.
  long long started = os_monotonic_ms();
  long long deadline = started + limits.seconds * 1000LL;
  if (request->deadline_ms != 0 && request->deadline_ms < deadline) {
    deadline = request->deadline_ms;
  }
  read.seconds = deadline > started ? static_cast<int>((deadline - started + 999) / 1000) : 0;
  // The receiving area: the body and the NUL that ends it, or one block.
  size_t area_size = wanted > 0 ? static_cast<size_t>(wanted) + 1 : 1;
  if (split != nullptr) area_size = 65536;
  char* form_body = static_cast<char*>(malloc(area_size));
  if (form_body == nullptr) fatal_reply(kOutOfMemoryCopy);
  size_t got = wanted > 0 ? read_blocks(form_body, static_cast<size_t>(wanted), deadline, split,
                                        &read.timed_out, &read.stopped)
                          : 0;
  read.got = static_cast<long long>(got);
  // The rest of an oversized body is read and dropped, so the web server
  // that writes it is not left waiting while the page is written; beyond
  // kMaxDroppedBody, standard input is closed instead.
  bool unread = read.timed_out || read.stopped;
  if (read.over) {
    long long drop = read.total < kMaxDroppedBody ? read.total : kMaxDroppedBody;
    read.got = discard_until(drop, deadline, &read.timed_out);
    unread = read.timed_out || (read.got == drop && read.total > drop);
  }
  if (unread) os_close_stdin();
  if (split != nullptr) {
    free(form_body);
    form_body = upload_split_take(split, &got, &request->upload);
  } else {
    form_body[got] = '\0';
  }
  request->body = form_body;
  request->length = got;
  return read;
}

// The boundary parameter of CONTENT_TYPE (heap), or null.
char* boundary_of(const char* content_type) {
  if (content_type == nullptr) return nullptr;
  size_t type_length = strlen(content_type);
  char* boundary = static_cast<char*>(malloc(2 * type_length + 1));
  if (boundary == nullptr) fatal_reply(kOutOfMemoryCopy);
  size_t boundary_length = 0;
  if (header_param(content_type, type_length, "boundary", boundary, 2 * type_length + 1,
                   &boundary_length) != HeaderParam::kFound) {
    free(boundary);
    return nullptr;
  }
  return boundary;
}

void decode_body(const char* content_type, const char* body, size_t length, FormTable* form,
                 FormRequest* request, const UploadSplit* split);

}  // namespace

void read_form(const Request& cgi, FormTable* form, FormRequest* request) {
  const char* content_type = cgi.content_type;
  FormRequest probe{};
  BodyKind kind = body_kind(content_type, &probe);
  BodyLimits limits = body_limits(kind);
  // A multipart body is read in blocks, its files' bytes straight to the
  // scratch file.
  UploadSplit split{};
  char* boundary = kind == BodyKind::kMultipart ? boundary_of(content_type) : nullptr;
  if (kind == BodyKind::kMultipart) upload_split_start(&split, boundary);
  free(boundary);
  BodyRead read = read_body(limits, cgi.content_length, request,
                            kind == BodyKind::kMultipart ? &split : nullptr);
  if (read.stopped) {
    char what[200];
    snprintf(what, sizeof what, "the uploaded files cannot be kept in a temporary file (%d: %s)",
             split.error, strerror(split.error));
    upload_split_free(&split);
    body_kind(content_type, request);
    refuse(form, request, Outcome::kServerError, what);
    return;
  }
  // An unknown type is refused as such, whatever its length; a body over
  // its cap or cut short is never decoded in part.
  if (kind != BodyKind::kUnknown && (read.over || read.got < read.total)) {
    char what[200];
    if (read.over) {
      snprintf(what, sizeof what, "CONTENT_LENGTH is more than the %ld bytes it may hold",
               limits.cap);
    } else {
      // A web server that ends the run while the body comes in says so.
      const char* stop = os_termination_asked() ? "the web server ended the run"
                                                : "the body stopped";
      int n = snprintf(what, sizeof what, "%s after %lld of %ld bytes", stop, read.got,
                       read.total);
      if (read.timed_out && n > 0 && static_cast<size_t>(n) < sizeof what) {
        snprintf(what + n, sizeof what - static_cast<size_t>(n),
                 " (its %d seconds were up)", read.seconds);
      }
    }
    upload_split_free(&split);
    body_kind(content_type, request);
    refuse(form, request, read.over ? Outcome::kTooLarge : Outcome::kMalformed, what);
    return;
  }
  decode_body(content_type, request->body, request->length, form, request,
              kind == BodyKind::kMultipart ? &split : nullptr);
  upload_split_free(&split);
}

void form_request_decode(const char* content_type, const char* body, size_t length,
                         FormTable* form, FormRequest* request) {
  decode_body(content_type, body, length, form, request, nullptr);
}

namespace {

void decode_body(const char* content_type, const char* body, size_t length, FormTable* form,
                 FormRequest* request, const UploadSplit* split) {
  BodyKind kind = body_kind(content_type, request);
  switch (kind) {
    case BodyKind::kUrlEncoded:
      form_decode(form, body, length, request->decoding);
      return;
    case BodyKind::kUnknown: {
      char what[200];
      snprintf(what, sizeof what, "CONTENT_TYPE {%s} is not a form type",
               shown_type(request, content_type));
      refuse(form, request, Outcome::kUnsupported, what);
      return;
    }
    case BodyKind::kMultipart:
      decode_multipart(content_type, body, length, form, request, split);
      break;
    case BodyKind::kJson:
      decode_json(body, length, form, request);
      break;
    case BodyKind::kTextPlain:
      decode_text_plain(body, length, form);
      break;
  }
  if (!request->refused && form->count == 0) {
    refuse(form, request, Outcome::kMalformed, "the form sent no fields");
  }
}

}  // namespace

void form_request_drop_body(FormRequest* request) {
  free(request->body);
  request->body = nullptr;
  request->length = 0;
}

long form_file_read(const FormRequest* request, int index, long long offset, void* out,
                    size_t size) {
  const FormFile& file = request->files[index];
  long long left = static_cast<long long>(file.size) - offset;
  if (left <= 0 || size == 0) return 0;
  if (static_cast<long long>(size) > left) size = static_cast<size_t>(left);
  return os_stream_read_at(&request->upload, file.offset + offset, out, size);
}

void form_request_free(FormRequest* request) {
  for (int i = 0; i < request->file_count; ++i) free(request->files[i].file_name);
  free(request->files);
  free(request->body);
  os_stream_close(&request->upload);
  *request = FormRequest{};
}
