#include "base/text.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/run.h"

static char buffer_scratch[kScratchSize];
FormatArea g_buffer_format = {buffer_scratch, nullptr, kSpillInitialSize};

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
    area->spill = static_cast<char*>(malloc(area->spill_size));
    if (area->spill == nullptr) exit(9);
  }
  for (;;) {
    // The text and its NUL must fit in spill_size - 2 bytes.
    va_copy(copy, args);
    int m = vsnprintf(area->spill, area->spill_size - 2, format, copy);
    va_end(copy);
    if (m >= 0 && m <= area->spill_size - 3) return area->spill;
    free(area->spill);
    area->spill = nullptr;
    if (area->spill_size > (1 << 29)) exit(9);  // no text of ours is that long
    area->spill_size *= 2;
    area->spill = static_cast<char*>(malloc(area->spill_size));
    if (area->spill == nullptr) exit(9);
  }
}

const char* format_with_spill(const char* format, va_list args) {
  return format_in_area(&g_buffer_format, format, args);
}

TextBuffer* text_buffer_new(const char* initial) {
  TextBuffer* buffer = static_cast<TextBuffer*>(malloc(sizeof(TextBuffer)));
  if (buffer == nullptr) fatal_reply("Unable to malloc memory.");
  int n = static_cast<int>(strlen(initial));
  buffer->data = static_cast<char*>(malloc(static_cast<size_t>(n) + 64000));
  if (buffer->data == nullptr) fatal_reply("Unable to malloc memory.");
  memcpy(buffer->data, initial, static_cast<size_t>(n) + 1);
  buffer->length = n;
  buffer->capacity = n + 64000;
  return buffer;
}

void text_buffer_append(TextBuffer* buffer, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const char* t = format_with_spill(format, args);
  va_end(args);
  int n = static_cast<int>(strlen(t));
  int old = buffer->length;
  if (old + n + 1 < buffer->capacity) {
    memcpy(buffer->data + old, t, static_cast<size_t>(n) + 1);
    buffer->length = old + n;
    return;
  }
  int capacity = old + n + 20000;
  char* block = static_cast<char*>(malloc(static_cast<size_t>(capacity)));
  if (block == nullptr) fatal_reply("Unable to malloc memory");
  memcpy(block, buffer->data, static_cast<size_t>(old));
  memcpy(block + old, t, static_cast<size_t>(n) + 1);
  free(buffer->data);
  buffer->data = block;
  buffer->length = old + n;
  buffer->capacity = capacity;
}

void text_buffer_replace(TextBuffer* buffer, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const char* t = format_with_spill(format, args);
  va_end(args);
  int n = static_cast<int>(strlen(t));
  if (n + 1 < buffer->capacity) {
    memcpy(buffer->data, t, static_cast<size_t>(n) + 1);
    buffer->length = n;
    return;
  }
  int capacity = n + 20000;
  char* block = static_cast<char*>(malloc(static_cast<size_t>(capacity)));
  if (block == nullptr) fatal_reply("Unable to malloc memory");
  memcpy(block, t, static_cast<size_t>(n) + 1);
  free(buffer->data);
  buffer->data = block;
  buffer->length = n;
  buffer->capacity = capacity;
}

void text_buffer_free(TextBuffer* buffer) {
  if (buffer == nullptr) return;
  free(buffer->data);
  free(buffer);
}
