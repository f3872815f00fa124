#include "compose/attachments.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/base64.h"
#include "base/log.h"
#include "base/program.h"
#include "platform/os.h"

const char* const kDefaultAttachmentTypes[] = {".pdf", ".png", ".jpg", ".jpeg", ".gif", ".txt",
                                               ".csv", ".docx", ".xlsx", ".odt", ".ods", nullptr};

namespace {

struct KnownType {
  const char* ending;
  const char* type;
};

const KnownType kKnownTypes[] = {
    {".pdf", "application/pdf"},
    {".png", "image/png"},
    {".jpg", "image/jpeg"},
    {".jpeg", "image/jpeg"},
    {".gif", "image/gif"},
    {".txt", "text/plain"},
    {".csv", "text/csv"},
    {".docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
    {".xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
    {".odt", "application/vnd.oasis.opendocument.text"},
    {".ods", "application/vnd.oasis.opendocument.spreadsheet"},
};

// The name after the last '/' or '\' (old browsers send the whole path).
const char* base_name(const char* name) {
  const char* base = name;
  for (const char* p = name; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') base = p + 1;
  }
  return base;
}

bool ends_with(const char* name, const char* ending) {
  size_t n = strlen(name);
  size_t e = strlen(ending);
  return n > e && ascii_equal_n(name + n - e, ending, e);
}

bool type_allowed(const Settings& settings, const char* name) {
  const SettingList& listed = settings.attachment_types;
  for (int i = 0; i < listed.count; ++i) {
    if (ends_with(name, listed.items[i])) return true;
  }
  if (listed.count > 0) return false;
  for (const char* const* e = kDefaultAttachmentTypes; *e != nullptr; ++e) {
    if (ends_with(name, *e)) return true;
  }
  return false;
}

// The type by the name's ending when it is a known one (it was allowed by
// that ending), else the type the client sent.
const char* file_type(const FormFile& file) {
  for (const KnownType& k : kKnownTypes) {
    if (ends_with(file.file_name, k.ending)) return k.type;
  }
  return file.content_type;
}

bool refuse(const FormTable& form, const FormFile& file, Outcome outcome, Outcome* out,
            const char* why) {
  log_event(LOG_ERROR, "file {%s} of field {%s} (%llu bytes) not taken: %s; nothing sent.",
            log_quote(0, file.file_name), log_quote(1, form.names[file.entry]),
            static_cast<unsigned long long>(file.size), why);
  *out = outcome;
  return false;
}

}  // namespace

bool attachments_wanted(const Settings& settings, const FormRequest* request) {
  return settings.attachments_max_kb > 0 && request != nullptr && request->file_count > 0;
}

bool attachments_accept(const Settings& settings, const FormRequest& request, FormTable* form,
                        Outcome* outcome) {
  if (settings.attachments_max_kb == 0) {
    for (int i = 0; i < request.file_count; ++i) {
      const FormFile& f = request.files[i];
      log_event(LOG_ERROR, "file {%s} of field {%s} (%llu bytes) not attached: attachments are off.",
                log_quote(0, f.file_name), log_quote(1, form->names[f.entry]),
                static_cast<unsigned long long>(f.size));
    }
    return true;
  }
  size_t total = 0;
  size_t most = static_cast<size_t>(settings.attachments_max_kb) * 1024;
  for (int i = 0; i < request.file_count; ++i) {
    const FormFile& f = request.files[i];
    char why[120];
    if (i == settings.attachments_max_files) {
      snprintf(why, sizeof why, "more than %d files (attachments_max_files)",
               settings.attachments_max_files);
      return refuse(*form, f, Outcome::kTooLarge, outcome, why);
    }
    if (!type_allowed(settings, base_name(f.file_name))) {
      return refuse(*form, f, Outcome::kUnsupported, outcome, "its name ending is no attachment_type");
    }
    total += f.size;
    if (total > most) {
      snprintf(why, sizeof why, "the files take more than %d KB (attachments_max_kb)",
               settings.attachments_max_kb);
      return refuse(*form, f, Outcome::kTooLarge, outcome, why);
    }
  }
  for (int i = 0; i < request.file_count; ++i) {
    const FormFile& f = request.files[i];
    TextBuffer* shown = text_buffer_new("");
    text_buffer_append(shown, "%s (%llu bytes)", base_name(f.file_name),
                       static_cast<unsigned long long>(f.size));
    form_set_value(form, f.entry, shown->data);
    text_buffer_free(shown);
  }
  return true;
}

namespace {

// Both the message and its copy for the log get the program's own text.
void put_both(TextBuffer* wire, TextBuffer* shown, const char* text) {
  text_buffer_append_bytes(wire, text, static_cast<int>(strlen(text)));
  text_buffer_append_bytes(shown, text, static_cast<int>(strlen(text)));
}

bool plain_name(const char* name) {
  size_t n = 0;
  for (const char* p = name; *p != '\0'; ++p, ++n) {
    if (*p < 0x20 || *p > 0x7e || *p == '"' || *p == '\\') return false;
  }
  return n <= 200;
}

// RFC 2231 attribute characters, kept as they are in an encoded name.
bool attr_char(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         strchr("!#$&+-.^_`|~", c) != nullptr;
}

// The name in printable ASCII for readers without RFC 2231: each other
// character (a UTF-8 sequence counts as one) and '"' and '\\' as '_'.
void append_stand_in(TextBuffer* out, const char* name) {
  int kept = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p != '\0' && kept < 200;
       ++p) {
    if (*p >= 0x80 && *p < 0xc0) continue;  // the rest of a UTF-8 character
    bool plain = *p >= 0x20 && *p <= 0x7e && *p != '"' && *p != '\\';
    char c = plain ? static_cast<char>(*p) : '_';
    text_buffer_append_bytes(out, &c, 1);
    ++kept;
  }
}

// Content-Disposition with the file name: quoted when it is plain ASCII,
// else the UTF-8 name in RFC 2231 pieces of at most 60 characters, one per
// folded line so no line grows past 998, and an ASCII stand-in.
void append_disposition(TextBuffer* out, const char* name, const char* eol) {
  if (plain_name(name)) {
    text_buffer_append(out, "Content-Disposition: attachment; filename=\"%s\"%s", name, eol);
    return;
  }
  text_buffer_append(out, "Content-Disposition: attachment");
  char piece[64];
  int length = 0;
  int index = 0;
  size_t total = strlen(name);
  for (size_t i = 0; i <= total; ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    bool end = i == total;
    if (!end && attr_char(c)) {
      piece[length++] = static_cast<char>(c);
    } else if (!end) {
      static const char kHex[] = "0123456789ABCDEF";
      piece[length++] = '%';
      piece[length++] = kHex[c >> 4];
      piece[length++] = kHex[c & 0xf];
    }
    piece[length] = '\0';
    if (length >= 57 || (end && length > 0)) {
      bool only = index == 0 && end;
      text_buffer_append(out, ";%s ", eol);
      if (only) {
        text_buffer_append(out, "filename*=UTF-8''%s", piece);
      } else {
        text_buffer_append(out, "filename*%d*=%s%s", index, index == 0 ? "UTF-8''" : "", piece);
      }
      ++index;
      length = 0;
    }
  }
  // The stand-in comes last: readers that take the first of the two (as
  // Python's email does) get the real name.
  text_buffer_append(out, ";%s filename=\"", eol);
  append_stand_in(out, name);
  text_buffer_append(out, "\"%s", eol);
}

constexpr size_t kLineBytes = 57;  // one base64 line of 76 characters

// The bytes the base64 lines of `size` bytes take, their line ends between
// them.
long long base64_lines_size(size_t size, const char* eol) {
  if (size == 0) return 0;
  long long lines = static_cast<long long>((size + kLineBytes - 1) / kLineBytes);
  return static_cast<long long>(base64_length(size)) +
         (lines - 1) * static_cast<long long>(strlen(eol));
}

// A boundary that occurs nowhere in the text part: base64 and
// quoted-printable never hold "=_", so only a 7bit text could.
void new_boundary(const char* text, char* boundary) {
  for (unsigned attempt = 0;; ++attempt) {
    unsigned char random[12] = {0};
    if (!os_random_bytes(random, sizeof random)) {
      long long now = os_monotonic_ms() ^ (static_cast<long long>(os_pid()) << 20);
      memcpy(random, &now, sizeof now);
      memcpy(random + sizeof now, &attempt, sizeof attempt);
    }
    int n = snprintf(boundary, kBoundarySize, "=_quillon_");
    for (unsigned char r : random) n += snprintf(boundary + n, kBoundarySize - n, "%02x", r);
    if (strstr(text, boundary) == nullptr) return;
  }
}

}  // namespace

void attachments_build(const FormRequest& request, const char* text_encoding, const char* eol,
                       TextBuffer** wire, TextBuffer** shown, char* boundary,
                       AttachedFile** files, int* count, const char* first_type) {
  *count = 0;
  *files = static_cast<AttachedFile*>(
      calloc(static_cast<size_t>(request.file_count) + 1, sizeof(AttachedFile)));
  if (*files == nullptr) fatal_reply(kOutOfMemory);
  new_boundary((*wire)->data, boundary);
  TextBuffer* out = text_buffer_new("");
  TextBuffer* out_shown = text_buffer_new("");
  TextBuffer* head = text_buffer_new("");
  text_buffer_replace(head,
                      "--%s%sContent-Type: %s%s"
                      "Content-Transfer-Encoding: %s%s%s",
                      boundary, eol,
                      first_type != nullptr ? first_type : "text/plain; charset=UTF-8", eol,
                      text_encoding, eol, eol);
  put_both(out, out_shown, head->data);
  text_buffer_append_bytes(out, (*wire)->data, (*wire)->length);
  text_buffer_append_bytes(out_shown, (*shown)->data, (*shown)->length);
  for (int i = 0; i < request.file_count; ++i) {
    const FormFile& f = request.files[i];
    text_buffer_replace(head, "%s--%s%sContent-Type: %s%s", eol, boundary, eol, file_type(f), eol);
    append_disposition(head, base_name(f.file_name), eol);
    text_buffer_append(head, "Content-Transfer-Encoding: base64%s%s", eol, eol);
    put_both(out, out_shown, head->data);
    text_buffer_append(out_shown, "(%llu bytes in base64, not shown)%s",
                       static_cast<unsigned long long>(f.size), eol);
    // The last base64 line has no line end of its own: the delimiter's
    // takes its place.
    if (f.size > 0) {
      (*files)[(*count)++] =
          AttachedFile{static_cast<size_t>(out->length), i, base64_lines_size(f.size, eol)};
    }
  }
  text_buffer_replace(head, "%s--%s--%s", eol, boundary, eol);
  put_both(out, out_shown, head->data);
  text_buffer_free(head);
  text_buffer_free(*wire);
  text_buffer_free(*shown);
  *wire = out;
  *shown = out_shown;
}

namespace {

// Reads up to `size` bytes of the file from `at`, as many as there are.
long read_full(const FormRequest& request, int index, long long at, char* out, size_t size) {
  size_t got = 0;
  while (got < size) {
    long n = form_file_read(&request, index, at + static_cast<long long>(got), out + got,
                            size - got);
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<long>(got);
}

}  // namespace

bool attachments_write_file(const FormRequest& request, int index, const char* eol,
                            ChunkSinkFn sink, void* context) {
  constexpr size_t kLinesPerBlock = 1024;
  constexpr size_t kRawBlock = kLineBytes * kLinesPerBlock;
  size_t eol_length = strlen(eol);
  const FormFile& f = request.files[index];
  char* raw = static_cast<char*>(malloc(kRawBlock));
  char* text = static_cast<char*>(malloc(kLinesPerBlock * (76 + eol_length) + 1));
  if (raw == nullptr || text == nullptr) fatal_reply(kOutOfMemory);
  bool ok = true;
  long long at = 0;
  long long size = static_cast<long long>(f.size);
  while (ok && at < size) {
    long long left = size - at;
    size_t want = left < static_cast<long long>(kRawBlock) ? static_cast<size_t>(left) : kRawBlock;
    long n = read_full(request, index, at, raw, want);
    if (n != static_cast<long>(want)) {
      log_event(LOG_ERROR, "file {%s} cannot be read back from its temporary file at byte %lld.",
                log_quote(0, f.file_name), at);
      ok = false;
      break;
    }
    char* p = text;
    for (size_t line = 0; line < want; line += kLineBytes) {
      if (at + static_cast<long long>(line) > 0) {
        memcpy(p, eol, eol_length);
        p += eol_length;
      }
      size_t bytes = want - line < kLineBytes ? want - line : kLineBytes;
      base64_encode(raw + line, bytes, p);
      p += base64_length(bytes);
    }
    ok = sink(context, text, static_cast<size_t>(p - text));
    at += static_cast<long long>(want);
  }
  free(raw);
  free(text);
  return ok;
}
