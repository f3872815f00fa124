#include "form/upload_split.h"

#include <cstdlib>
#include <cstring>

#include "base/program.h"
#include "form/multipart.h"

namespace {

enum class Delimiter { kNo, kYes, kMore };

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Whether the `n` bytes at `s` start a delimiter line, as multipart.cpp
// judges it; kMore when bytes not read yet decide it (never when `final`:
// the body ends at s + n). On kYes, *close and *used (its bytes, line end
// included) are set.
Delimiter delimiter_check(const UploadSplit* split, const char* s, size_t n, bool final,
                          bool* close, size_t* used) {
  size_t need = 2 + split->boundary_length;
  size_t m = n < need ? n : need;
  if ((m >= 1 && s[0] != '-') || (m >= 2 && s[1] != '-') ||
      (m > 2 && memcmp(s + 2, split->boundary, m - 2) != 0)) {
    return Delimiter::kNo;
  }
  if (n < need) return final ? Delimiter::kNo : Delimiter::kMore;
  size_t p = need;
  if (n - p < 2 && !final && !(n - p == 1 && s[p] != '-')) return Delimiter::kMore;
  bool closing = n - p >= 2 && s[p] == '-' && s[p + 1] == '-';
  if (closing) p += 2;
  while (p < n && is_blank(s[p])) ++p;
  if (p == n && !final) return Delimiter::kMore;
  if (p == n || (closing && s[p] == '\r')) {
    if (!closing) return Delimiter::kNo;
  } else if (s[p] == '\r' && p + 1 == n && !final) {
    return Delimiter::kMore;
  } else if (s[p] == '\r' && p + 1 < n && s[p + 1] == '\n') {
    p += 2;
  } else if (s[p] == '\n') {
    p += 1;
  } else {
    return Delimiter::kNo;
  }
  *close = closing;
  *used = p;
  return Delimiter::kYes;
}

void grow(char** data, size_t* capacity, size_t needed) {
  if (needed <= *capacity) return;
  size_t next = *capacity == 0 ? 4096 : *capacity;
  while (next < needed) next *= 2;
  char* grown = static_cast<char*>(realloc(*data, next));
  if (grown == nullptr) fatal_reply(kOutOfMemoryCopy);
  *data = grown;
  *capacity = next;
}

void keep(UploadSplit* split, const char* data, size_t size) {
  grow(&split->kept, &split->kept_capacity, split->kept_length + size + 1);
  memcpy(split->kept + split->kept_length, data, size);
  split->kept_length += size;
  split->kept[split->kept_length] = '\0';
}

bool store(UploadSplit* split, const char* data, size_t size) {
  if (size == 0) return true;
  if (split->scratch.handle == kNoStreamFile) {
    split->error = os_scratch_open(&split->scratch);
    if (split->error != 0) return false;
  }
  split->error = os_stream_write(&split->scratch, data, size);
  if (split->error != 0) return false;
  split->scratch_size += static_cast<long long>(size);
  split->pieces[split->piece_count - 1].size += static_cast<long long>(size);
  return true;
}

// The bytes [from, to) of the window, where the current state sends them.
bool place(UploadSplit* split, size_t from, size_t to) {
  if (to <= from) return true;
  if (split->state == SplitState::kFile) return store(split, split->window + from, to - from);
  if (split->state != SplitState::kDone) keep(split, split->window + from, to - from);
  return true;
}

void begin_file(UploadSplit* split) {
  if (split->piece_count == split->piece_capacity) {
    int capacity = split->piece_capacity == 0 ? 8 : 2 * split->piece_capacity;
    void* grown = realloc(split->pieces, static_cast<size_t>(capacity) * sizeof(UploadPiece));
    if (grown == nullptr) fatal_reply(kOutOfMemoryCopy);
    split->pieces = static_cast<UploadPiece*>(grown);
    split->piece_capacity = capacity;
  }
  split->pieces[split->piece_count++] = UploadPiece{split->kept_length, split->scratch_size, 0};
  split->state = SplitState::kFile;
}

// A whole header line was kept: the blank one ends the headers, and what
// they say decides where the content goes.
void header_line_done(UploadSplit* split) {
  const char* line = split->kept + split->line_start;
  size_t length = split->kept_length - split->line_start - 1;  // without its LF
  if (length == 0 || (length == 1 && line[0] == '\r')) {
    if (multipart_headers_name_file(split->kept + split->part_start,
                                    split->line_start - split->part_start)) {
      begin_file(split);
    } else {
      split->state = SplitState::kText;
    }
    return;
  }
  split->line_start = split->kept_length;
}

// A delimiter of `used` bytes at `at` in the window ends the current part.
void delimiter_found(UploadSplit* split, size_t at, size_t used, bool close) {
  keep(split, split->window + at, used);
  split->state = close ? SplitState::kDone : SplitState::kHeaders;
  split->part_start = split->kept_length;
  split->line_start = split->kept_length;
}

// Places what the window holds, up to where bytes not read yet decide.
// Returns how many bytes were placed, or -1 when a write failed.
long long run(UploadSplit* split, bool final) {
  const char* w = split->window;
  size_t n = split->window_length;
  size_t c = 0;
  bool close = false;
  size_t used = 0;
  if (!split->opened) {
    Delimiter d = delimiter_check(split, w, n, final, &close, &used);
    if (d == Delimiter::kMore) return 0;
    split->opened = true;
    if (d == Delimiter::kYes) {
      delimiter_found(split, 0, used, close);
      c = used;
    }
  }
  while (c < n && split->state != SplitState::kDone) {
    const char* lf = static_cast<const char*>(memchr(w + c, '\n', n - c));
    bool file = split->state == SplitState::kFile;
    if (lf == nullptr) {
      size_t end = n;
      if (file && !final && w[end - 1] == '\r') --end;
      if (!place(split, c, end)) return -1;
      c = end;
      break;
    }
    size_t i = static_cast<size_t>(lf - w);
    Delimiter d = delimiter_check(split, w + i + 1, n - i - 1, final, &close, &used);
    if (d == Delimiter::kNo) {
      if (!place(split, c, i + 1)) return -1;
      c = i + 1;
      if (split->state == SplitState::kHeaders) header_line_done(split);
      continue;
    }
    // The line end before a delimiter is the delimiter's.
    size_t end = file && i > c && w[i - 1] == '\r' ? i - 1 : i;
    if (d == Delimiter::kMore) {
      if (!place(split, c, end)) return -1;
      c = end;
      break;
    }
    if (!place(split, c, end)) return -1;
    if (split->state == SplitState::kFile) split->state = SplitState::kText;
    keep(split, w + end, i + 1 - end);
    delimiter_found(split, i + 1, used, close);
    c = i + 1 + used;
  }
  if (split->state == SplitState::kDone) c = n;  // the epilogue is not kept
  return static_cast<long long>(c);
}

bool run_and_compact(UploadSplit* split, bool final) {
  long long placed = run(split, final);
  if (placed < 0) return false;
  size_t rest = split->window_length - static_cast<size_t>(placed);
  memmove(split->window, split->window + placed, rest);
  split->window_length = rest;
  return true;
}

}  // namespace

void upload_split_start(UploadSplit* split, const char* boundary) {
  *split = UploadSplit{};
  split->scratch.handle = kNoStreamFile;
  size_t length = boundary != nullptr ? strlen(boundary) : 0;
  split->framed = length > 0 && length < sizeof split->boundary &&
                  strpbrk(boundary, "\r\n") == nullptr;
  if (split->framed) memcpy(split->boundary, boundary, length + 1);
  split->boundary_length = split->framed ? length : 0;
  split->state = SplitState::kPreamble;
  keep(split, "", 0);
}

bool upload_split_feed(UploadSplit* split, const char* data, size_t size) {
  if (!split->framed) {
    keep(split, data, size);
    return true;
  }
  grow(&split->window, &split->window_capacity, split->window_length + size);
  memcpy(split->window + split->window_length, data, size);
  split->window_length += size;
  return run_and_compact(split, false);
}

bool upload_split_finish(UploadSplit* split) {
  if (!split->framed) return true;
  return run_and_compact(split, true);
}

size_t upload_split_body_offset(const UploadSplit* split, size_t offset) {
  size_t whole = offset;
  for (int i = 0; i < split->piece_count; ++i) {
    if (split->pieces[i].at <= offset) whole += static_cast<size_t>(split->pieces[i].size);
  }
  return whole;
}

char* upload_split_take(UploadSplit* split, size_t* length, OsStreamFile* scratch) {
  char* kept = split->kept;
  *length = split->kept_length;
  *scratch = split->scratch;
  split->kept = nullptr;
  split->kept_length = 0;
  split->scratch.handle = kNoStreamFile;
  free(split->window);
  split->window = nullptr;
  split->window_length = 0;
  return kept;
}

void upload_split_free(UploadSplit* split) {
  free(split->kept);
  free(split->window);
  free(split->pieces);
  os_stream_close(&split->scratch);
  *split = UploadSplit{};
  split->scratch.handle = kNoStreamFile;
}
