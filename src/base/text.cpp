#include "base/text.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/fatal.h"

static char buffer_scratch[kScratchSize];
FormatArea g_buffer_format = {buffer_scratch, nullptr, kSpillInitialSize};

constexpr int kCreateSlack = 64000;
constexpr int kGrowSlack = 20000;

const char* format_in_area(FormatArea* area, const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  // The limit counts characters: 63000 of them plus the terminator.
  int n = vsnprintf(area->scratch, kScratchLimit + 1, format, copy);
  va_end(copy);
  if (n < 0) {
    area->scratch[0] = '\0';
    return area->scratch;
  }
  if (n <= kScratchLimit) return area->scratch;

  if (area->spill == nullptr) {
    area->spill = static_cast<char*>(malloc(static_cast<size_t>(area->spill_size)));
    if (area->spill == nullptr) fatal_spill();
  }
  for (;;) {
    // The text and its NUL must fit in spill_size - 2 bytes.
    va_copy(copy, args);
    int m = vsnprintf(area->spill, static_cast<size_t>(area->spill_size) - 2, format, copy);
    va_end(copy);
    if (m >= 0 && m <= area->spill_size - 3) return area->spill;
    free(area->spill);
    area->spill = nullptr;
    // One more doubling would overflow the size: treat it as memory that
    // cannot be had.
    if (area->spill_size > INT_MAX / 2) fatal_spill();
    area->spill_size *= 2;
    area->spill = static_cast<char*>(malloc(static_cast<size_t>(area->spill_size)));
    if (area->spill == nullptr) fatal_spill();
  }
}

const char* format_with_spill(const char* format, va_list args) {
  return format_in_area(&g_buffer_format, format, args);
}

// The block for a text of `length` bytes outgrowing `capacity`: twice the
// old block, or the length plus 20000 when that is more, so a text built
// piece by piece is copied a bounded number of times in all. fatal_reply
// when the size does not fit the signed 32-bit sizes the buffer keeps.
static int grown_capacity(int capacity, long long length) {
  if (length > INT_MAX - kGrowSlack) fatal_reply(kOutOfMemory);
  int grown = static_cast<int>(length) + kGrowSlack;
  return capacity < INT_MAX / 2 && 2 * capacity > grown ? 2 * capacity : grown;
}

// Moves the text (and the NUL after it) into a block of at least `length`
// + 2 bytes when the present one is too small. The old block goes even
// when it held no text yet; keeping it would only leak it.
static void make_room(TextBuffer* buffer, long long length) {
  if (length + 1 < buffer->capacity) return;
  int capacity = grown_capacity(buffer->capacity, length);
  char* block = static_cast<char*>(malloc(static_cast<size_t>(capacity)));
  if (block == nullptr) fatal_reply(kOutOfMemory);
  memcpy(block, buffer->data, static_cast<size_t>(buffer->length) + 1);
  free(buffer->data);
  buffer->data = block;
  buffer->capacity = capacity;
}

TextBuffer* text_buffer_new(const char* initial) {
  TextBuffer* buffer = static_cast<TextBuffer*>(malloc(sizeof(TextBuffer)));
  if (buffer == nullptr) fatal_reply(kOutOfMemoryRecord);
  size_t n = strlen(initial);
  if (n > static_cast<size_t>(INT_MAX - kCreateSlack)) fatal_reply(kOutOfMemoryRecord);
  buffer->data = static_cast<char*>(malloc(n + kCreateSlack));
  if (buffer->data == nullptr) fatal_reply(kOutOfMemoryRecord);
  memcpy(buffer->data, initial, n + 1);
  buffer->length = static_cast<int>(n);
  buffer->capacity = static_cast<int>(n) + kCreateSlack;
  return buffer;
}

void text_buffer_append(TextBuffer* buffer, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const char* t = format_with_spill(format, args);
  va_end(args);
  // The formatted text lies in a formatting area, never in the buffer.
  size_t n = strlen(t);
  if (n > static_cast<size_t>(INT_MAX)) fatal_reply(kOutOfMemory);
  text_buffer_append_bytes(buffer, t, static_cast<int>(n));
}

char* text_buffer_extend(TextBuffer* buffer, int length) {
  long long old = buffer->length;
  if (length < 0) length = 0;
  make_room(buffer, old + length);
  buffer->length = static_cast<int>(old + length);
  buffer->data[buffer->length] = '\0';
  return buffer->data + old;
}

void text_buffer_append_bytes(TextBuffer* buffer, const char* data, int length) {
  if (length <= 0) return;
  memcpy(text_buffer_extend(buffer, length), data, static_cast<size_t>(length));
}

void text_buffer_replace(TextBuffer* buffer, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const char* t = format_with_spill(format, args);
  va_end(args);
  size_t n = strlen(t);
  if (n > static_cast<size_t>(INT_MAX)) fatal_reply(kOutOfMemory);
  buffer->length = 0;
  buffer->data[0] = '\0';
  text_buffer_append_bytes(buffer, t, static_cast<int>(n));
}

void text_buffer_reserve(TextBuffer* buffer, int length) {
  if (length < 0) return;
  make_room(buffer, length);
}

void text_buffer_swap(TextBuffer* a, TextBuffer* b) {
  TextBuffer held = *a;
  *a = *b;
  *b = held;
}

void text_buffer_free(TextBuffer* buffer) {
  if (buffer == nullptr) return;
  free(buffer->data);
  free(buffer);
}
