#include "base/log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static char output_scratch[kScratchSize];
FormatArea g_output_format = {output_scratch, nullptr, kSpillInitialSize};
void log_format_timestamp(const OsLocalTime& time, TextBuffer* out) {
  char stamp[64];
  log_stamp_text(time, stamp, sizeof stamp);
  text_buffer_replace(out, "%s", stamp);
}

void log_event(int level, const char* format, ...) {
  if (g_log.busy) return;
  g_log.busy = true;
  if (!log_level_enabled(level) && level != LOG_OUTCOME) {
    g_log.busy = false;
    return;
  }
  // Callers log a failure before they report its errno.
  int saved_errno = errno;
  va_list args;
  va_start(args, format);
  const char* message = format_in_area(&g_output_format, format, args);
  va_end(args);
  if (g_log.echo != nullptr) {
    g_log.echo(level, message, g_log.echo_context);
  } else {
    log_write_line(message, level == LOG_OUTCOME, level == LOG_DEBUG);
  }
  g_log.busy = false;
  errno = saved_errno;
}

static bool needs_escape(unsigned char c) { return (c < 0x20 && c != '\t') || c == 0x7f; }

static int escape_byte(unsigned char c, char* out) {
  if (c == '\r' || c == '\n') {
    out[0] = '\\';
    out[1] = c == '\r' ? 'r' : 'n';
    return 2;
  }
  static const char kHex[] = "0123456789ABCDEF";
  out[0] = '\\';
  out[1] = 'x';
  out[2] = kHex[c >> 4];
  out[3] = kHex[c & 0xf];
  return 4;
}

void log_escape_append(TextBuffer* out, const char* text, size_t length) {
  size_t run = 0;  // start of the bytes not yet appended
  for (size_t i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (!needs_escape(c)) continue;
    text_buffer_append_bytes(out, text + run, static_cast<int>(i - run));
    char escape[4];
    text_buffer_append_bytes(out, escape, escape_byte(c, escape));
    run = i + 1;
  }
  text_buffer_append_bytes(out, text + run, static_cast<int>(length - run));
}

const char* log_quote(int slot, const char* text) {
  static TextBuffer* areas[kLogQuoteSlots];
  if (text == nullptr) return "(null)";
  const char* p = text;
  while (*p != '\0' && !needs_escape(static_cast<unsigned char>(*p))) ++p;
  if (*p == '\0') return text;
  if (slot < 0 || slot >= kLogQuoteSlots) slot = 0;
  if (areas[slot] == nullptr) areas[slot] = text_buffer_new("");
  text_buffer_replace(areas[slot], "%s", "");
  log_escape_append(areas[slot], text, strlen(text));
  return areas[slot]->data;
}

int log_copy_width(const char* copy, char c) {
  if (*copy == '\0') return 0;
  if (*copy == c || !needs_escape(static_cast<unsigned char>(c))) return 1;
  return c == '\r' || c == '\n' ? 2 : 4;
}
