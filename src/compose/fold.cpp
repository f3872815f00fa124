// Line-length limits on finished blocks.
#include "compose/message.h"

#include <cstring>

#include "base/log.h"

// Where the rebuilt block and its copy stand: `wire` walks the old block,
// `shown` the old copy in step with it (log_copy_width).
struct LineCursor {
  const char* wire;
  const char* shown;
  TextBuffer* out;
  TextBuffer* out_shown;
};

// Copies the next `n` bytes of the block, and what stands for them in the
// copy.
static void copy_span(LineCursor* at, size_t n) {
  text_buffer_append_bytes(at->out, at->wire, static_cast<int>(n));
  if (at->out_shown == nullptr) {
    at->wire += n;
    return;
  }
  const char* from = at->shown;
  for (size_t i = 0; i < n; ++i) at->shown += log_copy_width(at->shown, at->wire[i]);
  text_buffer_append_bytes(at->out_shown, from, static_cast<int>(at->shown - from));
  at->wire += n;
}

// Appends a line end of the program's making, a true line end in the copy
// too: the log shows the lines as the server gets them.
static void insert_line_end(LineCursor* at, const char* eol) {
  text_buffer_append_bytes(at->out, eol, static_cast<int>(strlen(eol)));
  if (at->out_shown == nullptr) return;
  text_buffer_append_bytes(at->out_shown, eol, static_cast<int>(strlen(eol)));
}

// The most characters a line starting with `first` may hold: a line that
// begins with "." gets another on the wire.
static size_t line_room(char first) {
  return first == '.' ? kMaxLineLength - 1 : kMaxLineLength;
}

// Moves a cut back to the start of a UTF-8 sequence, so that no character
// is split between two lines (a cut that finds none stays where it is).
static size_t whole_characters(const char* text, size_t cut) {
  for (size_t back = cut; back + 3 >= cut && back > 1; --back) {
    if ((static_cast<unsigned char>(text[back]) & 0xC0) != 0x80) return back;
  }
  return cut;
}

// The bytes of the line at `line` before its line end (a CR before the LF
// belongs to the line end).
static size_t line_content(const char* line, size_t* full) {
  const char* lf = strchr(line, '\n');
  size_t content = lf != nullptr ? static_cast<size_t>(lf - line) : strlen(line);
  *full = lf != nullptr ? content + 1 : content;
  if (lf != nullptr && content > 0 && line[content - 1] == '\r') --content;
  return content;
}

static bool has_long_line(const char* text) {
  while (*text != '\0') {
    size_t full = 0;
    size_t content = line_content(text, &full);
    if (content > line_room(*text)) return true;
    text += full;
  }
  return false;
}

// One header line of `left` content bytes, folded at the last blank that
// keeps each piece within its room (the blank starts the continuation);
// where there is none, broken with an inserted blank instead.
static void fold_header_line(LineCursor* at, size_t left, const char* eol) {
  size_t inserted = 0;  // 1 when the piece began with an inserted blank
  for (;;) {
    size_t room = inserted != 0 ? kMaxLineLength - 1 : line_room(*at->wire);
    if (left <= room) break;
    size_t blank = 0;
    for (size_t i = room; i >= 1 && blank == 0; --i) {
      if (at->wire[i] == ' ' || at->wire[i] == '\t') blank = i;
    }
    if (blank != 0) {
      copy_span(at, blank);
      left -= blank;
      insert_line_end(at, eol);
      inserted = 0;
    } else {
      size_t cut = whole_characters(at->wire, room);
      copy_span(at, cut);
      left -= cut;
      insert_line_end(at, eol);
      text_buffer_append_bytes(at->out, " ", 1);
      if (at->out_shown != nullptr) text_buffer_append_bytes(at->out_shown, " ", 1);
      inserted = 1;
    }
  }
  copy_span(at, left);
}

// One body line, broken into pieces that fit.
static void break_body_line(LineCursor* at, size_t left, const char* eol) {
  while (left > line_room(*at->wire)) {
    size_t cut = whole_characters(at->wire, line_room(*at->wire));
    copy_span(at, cut);
    left -= cut;
    insert_line_end(at, eol);
  }
  copy_span(at, left);
}

void limit_line_lengths(TextBuffer* block, TextBuffer* shown, const char* eol, bool header) {
  if (!has_long_line(block->data)) return;
  LineCursor at = {block->data, shown != nullptr ? shown->data : nullptr, text_buffer_new(""),
                   shown != nullptr ? text_buffer_new("") : nullptr};
  // The rebuilt block is the old one and a line end every kMaxLineLength
  // bytes at most: made room for at once, it is never copied on the way.
  text_buffer_reserve(at.out, block->length + block->length / 256 + 64);
  if (at.out_shown != nullptr) {
    text_buffer_reserve(at.out_shown, shown->length + shown->length / 128 + 64);
  }
  while (*at.wire != '\0') {
    size_t full = 0;
    size_t content = line_content(at.wire, &full);
    if (header) {
      fold_header_line(&at, content, eol);
    } else {
      break_body_line(&at, content, eol);
    }
    copy_span(&at, full - content);  // the line's own end
  }
  // The rebuilt texts take the old ones' places: nothing to copy.
  text_buffer_swap(block, at.out);
  text_buffer_free(at.out);
  if (shown != nullptr) {
    text_buffer_swap(shown, at.out_shown);
    text_buffer_free(at.out_shown);
  }
}
