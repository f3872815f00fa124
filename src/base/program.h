#pragma once
// What every layer may need of the running program: its version, the paths
// of its settings, log and rate-limit files, and a few small helpers shared
// by all modules (the one way a run ends early is in base/fatal.h).
//
// Errors in src/base: nothing here fails but for memory, and memory that
// runs out ends the run through fatal_reply (a formatting spill area:
// fatal_spill); the log drops a line it cannot write without a word.
//
// The program's state is passed in the open: the driver creates the form
// table, the settings, the envelope and the message and hands them down.
// What stays process-wide, and why:
//   g_program                  the arguments and derived paths: fixed at start-up
//   g_log                      the log's path and level: every layer logs, and the
//                              fatal path must write without being handed it
//   g_buffer_format, g_output_format (and their scratch areas, text.cpp and
//                              log.cpp)  formatting areas that must outlive a call:
//                              the spill areas grow once and are kept
//   g_rate_work                the rate state's working set under the lock: its
//                              header and one chunk of slots (guard/rate_state.cpp)
//   g_shared, g_client         the run's one shared-state connection, opened on
//                              first use and closed at the run's end
//                              (guard/shared_state.cpp), and the PostgreSQL client
//                              library loaded on first use (db/pg_lib.cpp)
//   g_fatal                    the answer an end for want of memory gives, prepared
//                              while memory was there (base/fatal.cpp)
//   form_storage               the CGI run's form table, handed down like the other
//                              values; static so that it needs no clearing and
//                              only the pages its entries fill are touched
//                              (driver/run.cpp)
//   platform halves            the last socket error (net_posix.cpp), the TLS
//                              library loaded on first use (tls_posix.cpp,
//                              tls_win32.cpp), the log's descriptor kept
//                              from one line to the next and the local time of
//                              the last second converted (os_posix.cpp), and
//                              whether the web server asked the run to end
//                              (a signal's flag, os_posix.cpp)

#include <cstddef>

#include "base/fatal.h"

constexpr char kProgramVersion[] = "1.0v";
constexpr int kPathAreaSize = 64000;
constexpr int kPathLimit = 63990;

struct Program {
  int argc;
  char** argv;
  // Started by a web server: the arguments are not the operator's (a query
  // string without "=" arrives as arguments) and are never acted upon.
  bool web_server;
  char ini_path[kPathAreaSize];
  char log_path[kPathAreaSize];
  char rate_path[kPathAreaSize];  // the rate limit's state, beside the log
  // The form the request's path (or --form NAME) chose, whose settings file
  // is read over ini_path: "" for none (config/form_files.h).
  char form_name[65];
  char form_path[kPathAreaSize];
};
extern Program g_program;

// The program's own path (argv[0]), or "" when there is none.
const char* program_path();

// A heap copy of `text` (of `length` bytes, NUL added), or fatal_reply with
// `failure` when memory runs out.
char* copy_text_or_die(const char* text, const char* failure);
char* copy_bytes_or_die(const char* text, size_t length, const char* failure);

// ASCII case folding; other bytes are left alone.
inline char ascii_lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
inline char ascii_upper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}
// Whether the first `count` characters of `a` and `b` are equal, ASCII case
// ignored; a shorter text compares up to its end like strncasecmp.
bool ascii_equal_n(const char* a, const char* b, size_t count);
