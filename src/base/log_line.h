#pragma once
// The log's line writer: the log state, the level test and the one write of
// a finished line with its timestamp and process id. The lowest module of
// src/base: it may use src/platform only, so the fatal path can write with
// it. Errors: a line that cannot be written is dropped without a word (the
// log is where words would go).

#include <cstddef>

#include "platform/os.h"

constexpr int LOG_ERROR = 1;  // always written
constexpr int LOG_DEBUG = 2;  // written unless a `logging` setting not
                              // beginning with "debug" (any case) was read
// A run's outcome line: an error-level line still written when the log is
// over log_max_kb (not at twice that).
constexpr int LOG_OUTCOME = 3;
// log_max_kb's default: a log this large takes only outcome lines, and at
// twice the size none at all, until it is rotated or blanked.
constexpr long long kLogDefaultMaxBytes = 10240LL * 1024;

struct LogState {
  bool busy;            // a log_event call is in progress: re-entry writes nothing
  const char* path;     // the log file; set at start-up before the first line
  const char* logging;  // the `logging` setting, null until one was read
  long long max_bytes;  // log_max_kb in bytes; 0: no limit
  bool full;            // this run found the log at max_bytes: outcome lines only
  bool holding;         // lines are held in memory (log_hold_lines) until released
  // Set by a command that shows the log's lines instead of writing the
  // file (-check): each line that passes the level test goes here.
  void (*echo)(int level, const char* message, void* context);
  void* echo_context;  // handed to echo
};
extern LogState g_log;

// Whether a line of `level` would be written with the current setting.
bool log_level_enabled(int level);

// A local time as the log writes it, e.g. "1st January 2027,  0:05:09 am",
// into `out` (`size` bytes; 64 hold any).
void log_stamp_text(const OsLocalTime& time, char* out, size_t size);

// Appends "<timestamp> - pid(<pid>) - <message>\n" for now, with one write,
// so that the lines of processes sharing the log never split or interleave.
// A log at g_log.max_bytes takes only a run's outcome line (`outcome`), and
// at twice that nothing; the line taking it past the limit is followed by one
// saying so.
// While lines are held, a line is kept in memory with its timestamp instead
// (`debug`: as a debug-level line).
void log_write_line(const char* message, bool outcome = false, bool debug = false);

// A CGI run learns the log's level and bound only from its settings: from
// log_hold_lines on, each line that passes the level test is kept in memory
// (the level is tested when it is logged, as it is for a written line), and
// log_release_lines writes them in their order under the bound then in
// force, and stops holding. An outcome line releases the held ones before
// it is written; a line that cannot be kept in memory releases them too.
// log_release_error_lines writes the held error lines alone and drops the
// debug ones: a request that must add no start-up lines to the log.
void log_hold_lines();
void log_release_lines();
void log_release_error_lines();
