#pragma once
// Start-up: the settings and log file names, option dispatch, the sequence of
// a CGI run, and the one way a run ends early with an error page.

constexpr char kProgramVersion[] = "1.0v";
constexpr int kPathAreaSize = 64000;
constexpr int kPathLimit = 63990;

struct Program {
  int argc;
  char** argv;
  char ini_path[kPathAreaSize];
  char log_path[kPathAreaSize];
};
extern Program g_program;

// Derives the settings (".ini") or log (".log") path from the program's path:
// "%s<ext>", at most 63990 characters, then the first ".exe" and afterwards
// the first ".cgi" are each overwritten with <ext> and the name ends there.
// A longer program path is cut before <ext>, so the result never names the
// program itself. `out` must hold kPathAreaSize bytes; `ext` is ".ini" or
// ".log" (four characters).
void derive_path(const char* program_path, const char* ext, char* out);

// The branches of the command line. Only an exact option with the exact
// argument count selects a command; everything else is a CGI run.
enum class Command { kCgiRun, kVersion, kFaq, kBlankLog, kVersionInsertFilename };
Command classify_arguments(int argc, char** argv);

// Appends `message` as a bare line to the log file, answers the browser with
// a minimal error page and exits with 1; exits with 2 and prints nothing when
// the log file cannot be opened. Never returns.
[[noreturn]] void fatal_reply(const char* message);

// The fixed sequence of a CGI run; returns the exit code (0).
int run_cgi();

// The entry point: sets g_program, dispatches on the arguments, returns the
// exit code (or exits).
int quillon_main(int argc, char** argv);
