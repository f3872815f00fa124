#include "base/log_line.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

LogState g_log = {false, "", nullptr, kLogDefaultMaxBytes, false, false, nullptr, nullptr};

namespace {

const char* const kMonthNames[12] = {
    "January", "February", "March",     "April",   "May",      "June",
    "July",    "August",   "September", "October", "November", "December"};
const char* const kDaySuffix[10] = {"th", "st", "nd", "rd", "th",
                                    "th", "th", "th", "th", "th"};

bool logging_asks_for_debug(const char* logging) {
  static const char kDebug[] = "debug";
  for (int i = 0; i < 5; ++i) {
    char c = logging[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kDebug[i]) return false;  // also stops at the end of a short text
  }
  return true;
}

bool same_second(const OsLocalTime& a, const OsLocalTime& b) {
  return a.second == b.second && a.minute == b.minute && a.hour == b.hour &&
         a.day == b.day && a.month == b.month && a.year == b.year;
}

// The timestamp text for `now`, formatted again only when the clock has
// moved on since the last line: a run writes most of its lines within one
// second.
const char* stamp_for(const OsLocalTime& now) {
  static char stamp[64];
  static OsLocalTime stamp_time;
  if (stamp[0] != '\0' && same_second(now, stamp_time)) return stamp;
  log_stamp_text(now, stamp, sizeof stamp);
  stamp_time = now;
  return stamp;
}

}  // namespace

bool log_level_enabled(int level) {
  if (level == LOG_ERROR || level == LOG_OUTCOME) return true;
  if (level != LOG_DEBUG) return false;
  return g_log.logging == nullptr || logging_asks_for_debug(g_log.logging);
}

void log_stamp_text(const OsLocalTime& time, char* out, size_t size) {
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
  snprintf(out, size, "%d%s %s %04d, % 2d:%02d:%02d %s", day, suffix, kMonthNames[month - 1],
           time.year, hour, time.minute, time.second, half);
}

// Writes the finished line for `message`, stamped `stamp` (null: now),
// while the log holds fewer than `bound` bytes (negative: no bound); the
// size found is in *size_before, and the line's own in *line_size.
static int append_line(const char* stamp, const char* message, long long bound,
                       long long* size_before, long long* line_size) {
  if (stamp == nullptr) {
    OsLocalTime now;
    os_local_time(&now);
    stamp = stamp_for(now);
  }
  // The process id part, made at the first line: the program never forks.
  static char middle[40];
  static int middle_length = 0;
  if (middle_length == 0) {
    middle_length = snprintf(middle, sizeof middle, " - pid(%d) - ", os_pid());
  }
  size_t stamp_length = strlen(stamp);
  size_t message_length = strlen(message);
  size_t total = stamp_length + static_cast<size_t>(middle_length) + message_length + 1;
  *line_size = static_cast<long long>(total);
  // Most lines fit here; a long message gets a block of its own.
  char small[512];
  char* line = total <= sizeof small ? small : static_cast<char*>(malloc(total));
  if (line == nullptr) {
    // Better a line that may interleave than a lost one.
    int written = os_append_text_below(g_log.path, stamp, stamp_length, bound, size_before);
    if (written == kOsAppendWritten) {
      os_append_text(g_log.path, middle, static_cast<size_t>(middle_length));
      os_append_text(g_log.path, message, message_length);
      os_append_text(g_log.path, "\n", 1);
    }
    return written;
  }
  char* at = line;
  memcpy(at, stamp, stamp_length);
  at += stamp_length;
  memcpy(at, middle, static_cast<size_t>(middle_length));
  at += middle_length;
  memcpy(at, message, message_length);
  at += message_length;
  *at = '\n';
  int written = os_append_text_below(g_log.path, line, total, bound, size_before);
  if (line != small) free(line);
  return written;
}

static const char kFullNote[] = "the log has reached log_max_kb";

// Whether the note is in the log: the first lines past the limit, where the
// run that took the log past it wrote it, or the last ones, where a run
// that found the log already past it (the limit lowered) did.
static bool note_written(long long limit, long long size) {
  constexpr long long kWindow = 65536;
  char* window = static_cast<char*>(malloc(static_cast<size_t>(kWindow) + 1));
  if (window == nullptr) return true;  // better no note than two
  bool found = false;
  long long starts[] = {limit, size > kWindow ? size - kWindow : 0};
  for (long long start : starts) {
    long got = os_read_at(g_log.path, start, window, static_cast<size_t>(kWindow));
    if (got <= 0) continue;
    window[got] = '\0';
    // NUL bytes would hide what follows them from strstr.
    for (long i = 0; i < got; ++i) window[i] = window[i] == '\0' ? ' ' : window[i];
    found = found || strstr(window, kFullNote) != nullptr;
  }
  free(window);
  return found;
}

// One line under g_log.max_bytes, stamped `stamp` (null: now).
static void write_line(const char* stamp, const char* message, bool outcome) {
  long long limit = g_log.max_bytes;
  long long before = 0;
  long long size = 0;
  if (limit <= 0) {
    (void)append_line(stamp, message, -1, &before, &size);
    return;
  }
  if (g_log.full && !outcome) return;
  bool was_full = g_log.full;
  int written = append_line(stamp, message, outcome ? 2 * limit : limit, &before, &size);
  if (written == kOsAppendFailed || was_full) return;
  bool found_full = before >= limit;
  if (!found_full && before + size < limit) return;
  // This run is the first to see the log past its limit: it says so once.
  g_log.full = true;
  if (before >= 2 * limit || (found_full && note_written(limit, before))) return;
  char note[200];
  snprintf(note, sizeof note,
           "%s (%lld KB): from now on only each run's outcome line is written, until it "
           "is rotated or blanked.",
           kFullNote, limit / 1024);
  (void)append_line(nullptr, note, 2 * limit, &before, &size);
}

// The held lines: each one block holding 'd' for a debug line (else 'e'),
// its timestamp, a NUL, its message and a NUL.
static char** g_held = nullptr;
static size_t g_held_count = 0;
static size_t g_held_capacity = 0;

// Keeps `message` with the time now; false when memory ran out.
static bool hold_line(const char* message, bool debug) {
  if (g_held_count == g_held_capacity) {
    size_t capacity = g_held_capacity == 0 ? 16 : 2 * g_held_capacity;
    void* grown = realloc(g_held, capacity * sizeof *g_held);
    if (grown == nullptr) return false;
    g_held = static_cast<char**>(grown);
    g_held_capacity = capacity;
  }
  OsLocalTime now;
  os_local_time(&now);
  const char* stamp = stamp_for(now);
  size_t stamp_size = strlen(stamp) + 1;
  size_t message_size = strlen(message) + 1;
  char* block = static_cast<char*>(malloc(1 + stamp_size + message_size));
  if (block == nullptr) return false;
  block[0] = debug ? 'd' : 'e';
  memcpy(block + 1, stamp, stamp_size);
  memcpy(block + 1 + stamp_size, message, message_size);
  g_held[g_held_count++] = block;
  return true;
}

void log_hold_lines() { g_log.holding = true; }

static void release(bool debug_too) {
  g_log.holding = false;
  for (size_t i = 0; i < g_held_count; ++i) {
    const char* stamp = g_held[i] + 1;
    if (debug_too || g_held[i][0] != 'd') write_line(stamp, stamp + strlen(stamp) + 1, false);
    free(g_held[i]);
  }
  free(g_held);
  g_held = nullptr;
  g_held_count = 0;
  g_held_capacity = 0;
}

void log_release_lines() { release(true); }

void log_release_error_lines() { release(false); }

void log_write_line(const char* message, bool outcome, bool debug) {
  if (g_log.holding) {
    if (!outcome && hold_line(message, debug)) return;
    log_release_lines();
  }
  write_line(nullptr, message, outcome);
}
