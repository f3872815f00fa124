#include "base/log.h"

#include "base/program.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static char output_scratch[kScratchSize];
FormatArea g_output_format = {output_scratch, nullptr, kSpillInitialSize};
LogState g_log = {false, "", nullptr};

static const char* const kMonthNames[12] = {
    "January", "February", "March",     "April",   "May",      "June",
    "July",    "August",   "September", "October", "November", "December"};
static const char* const kDaySuffix[10] = {"th", "st", "nd", "rd", "th",
                                           "th", "th", "th", "th", "th"};

static bool logging_asks_for_debug(const char* logging) {
  static const char kDebug[] = "debug";
  for (int i = 0; i < 5; ++i) {
    char c = ascii_lower(logging[i]);
    if (c != kDebug[i]) return false;  // also stops at the end of a short text
  }
  return true;
}

bool log_level_enabled(int level) {
  if (level == LOG_ERROR) return true;
  if (level != LOG_DEBUG) return false;
  return g_log.logging == nullptr || logging_asks_for_debug(g_log.logging);
}

void log_format_timestamp(const OsLocalTime& time, TextBuffer* out) {
  int day = time.day;
  int last_digit = day % 10 < 0 ? -(day % 10) : day % 10;
  // 11th, 12th and 13th, not 11st, 12nd, 13rd.
  const char* suffix = (day >= 10 && day <= 19) ? "th" : kDaySuffix[last_digit];
  int month = (time.month >= 1 && time.month <= 12) ? time.month : 1;
  // Midnight shows as 0 am, noon as 12 pm.
  int hour = time.hour;
  const char* half = "am";
  if (hour >= 12) {
    half = "pm";
    if (hour > 12) hour -= 12;
  }
  text_buffer_replace(out, "%d%s %s %04d, % 2d:%02d:%02d %s", day, suffix,
                      kMonthNames[month - 1], time.year, hour, time.minute,
                      time.second, half);
}

static bool same_second(const OsLocalTime& a, const OsLocalTime& b) {
  return a.second == b.second && a.minute == b.minute && a.hour == b.hour &&
         a.day == b.day && a.month == b.month && a.year == b.year;
}

// The timestamp text for `now`, formatted again only when the clock has
// moved on since the last line: a run writes most of its lines within one
// second.
static const char* stamp_for(const OsLocalTime& now) {
  static TextBuffer* stamp = nullptr;
  static OsLocalTime stamp_time;
  if (stamp == nullptr) {
    stamp = text_buffer_new("");
  } else if (same_second(now, stamp_time)) {
    return stamp->data;
  }
  log_format_timestamp(now, stamp);
  stamp_time = now;
  return stamp->data;
}

// Appends "<stamp> - pid(<pid>) - <message>\n" with one write, so that the
// lines of processes sharing the log never split or interleave.
static void append_line(const char* stamp, int pid, const char* message) {
  static char middle[40];
  static int middle_length = 0;
  static int middle_pid = 0;
  if (middle_length == 0 || pid != middle_pid) {
    middle_length = snprintf(middle, sizeof middle, " - pid(%d) - ", pid);
    middle_pid = pid;
  }
  size_t stamp_length = strlen(stamp);
  size_t message_length = strlen(message);
  size_t total = stamp_length + static_cast<size_t>(middle_length) + message_length + 1;
  // Most lines fit here; a long message gets a block of its own.
  char small[512];
  char* line = total <= sizeof small ? small : static_cast<char*>(malloc(total));
  if (line == nullptr) {
    // Better a line that may interleave than a lost one.
    if (os_append_text(g_log.path, stamp, stamp_length)) {
      os_append_text(g_log.path, middle, static_cast<size_t>(middle_length));
      os_append_text(g_log.path, message, message_length);
      os_append_text(g_log.path, "\n", 1);
    }
    return;
  }
  char* at = line;
  memcpy(at, stamp, stamp_length);
  at += stamp_length;
  memcpy(at, middle, static_cast<size_t>(middle_length));
  at += middle_length;
  memcpy(at, message, message_length);
  at += message_length;
  *at = '\n';
  os_append_text(g_log.path, line, total);
  if (line != small) free(line);
}

void log_event(int level, const char* format, ...) {
  if (g_log.busy) return;
  g_log.busy = true;
  if (!log_level_enabled(level)) {
    g_log.busy = false;
    return;
  }
  // Callers log a failure before they report its errno.
  int saved_errno = errno;

  OsLocalTime now;
  os_local_time(&now);
  const char* stamp = stamp_for(now);
  int pid = os_pid();

  va_list args;
  va_start(args, format);
  const char* message = format_in_area(&g_output_format, format, args);
  va_end(args);

  append_line(stamp, pid, message);
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
