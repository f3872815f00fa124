#pragma once
// The one way a run ends early: what cannot be carried on (memory ran out,
// or the driver finds no settings file for a CGI run). Low in src/base: it
// uses the log's line writer and the platform only, so every module,
// the text buffer and the log included, may end the run through it.

// The out-of-memory texts of fatal_reply: text_buffer_new's record and a
// few fixed-size blocks ("Unable to malloc memory."), every other block
// ("Unable to malloc memory"), and the form and settings copies ("out of
// memory.").
constexpr char kOutOfMemoryRecord[] = "Unable to malloc memory.";
constexpr char kOutOfMemory[] = "Unable to malloc memory";
constexpr char kOutOfMemoryCopy[] = "out of memory.";

// What an end for want of memory answers, set by the driver: process-wide,
// as that end may come from any module.
struct FatalAnswer {
  // The whole answer (header lines, blank line, body) when the client asked
  // for JSON, prepared while memory was there; null: the 500 HTML page.
  const char* json;
  bool submission;  // a submission's run: its outcome line is written
};
extern FatalAnswer g_fatal;

// Either way the log's held lines (log_hold_lines) are written first.
// Memory ran out (`message` is one of the kOutOfMemory texts): writes
// `message` as a whole log line and, in a submission's run, the outcome
// line "outcome: not sent, out of memory (server_error)"; answers 500
// (g_fatal.json, else a minimal HTML page with the Status line); writes
// the log's "ended" line and exits with 1.
// Any other `message` (the settings file cannot be opened): appends it as
// a bare line to the log file (g_log.path), answers the browser with a
// minimal error page, writes the log's "ended" line and exits with 1; exits
// with 2 and prints nothing when the log file cannot be opened.
// Never returns.
[[noreturn]] void fatal_reply(const char* message);

// A formatting spill area could not be allocated: exits with 9 at once.
[[noreturn]] void fatal_spill();
