#pragma once
// The growable byte buffer and the two formatting areas behind it.
//
// Every formatting request is first made into a fixed 64000-byte scratch area
// with a limit of 63000 characters; a longer text goes to a heap "spill" area
// that starts at 64000 bytes, doubles until the text fits and is kept for the
// rest of the process. A spill area that cannot be allocated ends the process
// with exit code 9 at once.

#include <cstdarg>

#define QUILLON_PRINTF(fmt_index, first_arg) \
  __attribute__((format(printf, fmt_index, first_arg)))

constexpr int kScratchSize = 64000;
constexpr int kScratchLimit = 63000;
constexpr int kSpillInitialSize = 64000;

// A scratch area with its spill area. One serves the text buffers, another
// (in log.h) the log and the reply pages.
struct FormatArea {
  char* scratch;    // kScratchSize bytes, never more than kScratchLimit used
  char* spill;      // null until the first text longer than kScratchLimit
  int spill_size;   // starts at kSpillInitialSize, doubled, never reset
};

extern FormatArea g_buffer_format;  // buffer_scratch / buffer_spill

// Formats into `area`: returns the text inside the scratch or the spill area,
// valid until the next request on the same area. No argument may point into
// the area itself.
const char* format_in_area(FormatArea* area, const char* format, va_list args)
    QUILLON_PRINTF(2, 0);

// The program's one growable byte buffer: heap bytes with their count and
// block size. It holds text and binary data alike (a message, an SMTP send
// queue, an HTTP body): `length` counts the bytes, a NUL among them is
// kept like any other, and one NUL always follows them, so a buffer that
// holds text can be read as a C string. `length` + 1 < `capacity` always.
// A block that is outgrown is replaced by one twice its size (or the new
// length + 20000, when that is more), so building a text of n bytes piece
// by piece costs O(n) in all. Readers use `data`; only the functions below
// write it.
struct TextBuffer {
  char* data;
  int length;
  int capacity;
};

// A new buffer holding a copy of `initial`, capacity strlen(initial) + 64000.
// Never null: on allocation failure fatal_reply(kOutOfMemoryRecord).
TextBuffer* text_buffer_new(const char* initial);

// Appends formatted text (fatal_reply(kOutOfMemory) when the block cannot
// grow, here and in every function below).
void text_buffer_append(TextBuffer* buffer, const char* format, ...)
    QUILLON_PRINTF(2, 3);

// Appends `length` bytes of `data` as they are; NULs among them are kept.
void text_buffer_append_bytes(TextBuffer* buffer, const char* data, int length);

// Lengthens the content by `length` bytes and returns where they start, for
// the caller to fill at once (the NUL after them is written). Lets a large
// encoding be written in place instead of copied in.
char* text_buffer_extend(TextBuffer* buffer, int length);

// Replaces the content with formatted text; the block never shrinks.
void text_buffer_replace(TextBuffer* buffer, const char* format, ...)
    QUILLON_PRINTF(2, 3);

// Makes room for `length` bytes of content without a further copy (never
// shrinks).
void text_buffer_reserve(TextBuffer* buffer, int length);

// Exchanges the texts (and blocks) of two buffers, copying nothing.
void text_buffer_swap(TextBuffer* a, TextBuffer* b);

// Releases the text and the record; null is allowed.
void text_buffer_free(TextBuffer* buffer);

// The text-buffer formatter: format_in_area on g_buffer_format.
const char* format_with_spill(const char* format, va_list args)
    QUILLON_PRINTF(1, 0);
