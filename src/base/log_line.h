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

struct LogState {
  bool busy;            // a log_event call is in progress: re-entry writes nothing
  const char* path;     // the log file; set at start-up before the first line
  const char* logging;  // the `logging` setting, null until one was read
  // Set by a command that shows the log's lines instead of writing the
  // file (-check): each line that passes the level test goes here.
  void (*echo)(int level, const char* message);
};
extern LogState g_log;

// Whether a line of `level` would be written with the current setting.
bool log_level_enabled(int level);

// A local time as the log writes it, e.g. "1st January 2027,  0:05:09 am",
// into `out` (`size` bytes; 64 hold any).
void log_stamp_text(const OsLocalTime& time, char* out, size_t size);

// Appends "<timestamp> - pid(<pid>) - <message>\n" for now, with one write,
// so that the lines of processes sharing the log never split or interleave.
void log_write_line(const char* message);
