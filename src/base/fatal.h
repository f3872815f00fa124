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

// Appends `message` as a bare line to the log file (g_log.path), answers the
// browser with a minimal error page, writes the log's "ended" line and
// exits with 1; exits with 2 and prints nothing when the log file cannot be
// opened. Never returns.
[[noreturn]] void fatal_reply(const char* message);

// A formatting spill area could not be allocated: exits with 9 at once.
[[noreturn]] void fatal_spill();
