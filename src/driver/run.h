#pragma once
// Start-up: the settings and log file names, option dispatch, the sequence of
// a CGI run, and the one way a run ends early with an error page.
//
// Errors in src/driver: the driver is the only layer that decides to end a
// run: a CGI run without a settings file ends with fatal_reply's page, a
// command prints its failure in words and exits with 3; every other
// failure below is carried up as a value and answered with a page.

#include "base/program.h"
#include "config/settings.h"

// Derives the settings (".ini"), log (".log") or rate-limit state (".rate")
// path from the program's path:
// "%s<ext>", at most 63990 characters, then the first ".exe" and afterwards
// the first ".cgi" are each overwritten with <ext> and the name ends there.
// A longer program path is cut before <ext>, so the result never names the
// program itself. `out` must hold kPathAreaSize bytes; `ext` is one of the
// three (at most five characters).
void derive_path(const char* path, const char* ext, char* out);

// The branches of the command line. Only an exact option with the exact
// argument count selects a command; everything else is a CGI run.
enum class Command { kCgiRun, kVersion, kFaq, kBlankLog, kVersionInsertFilename, kResend,
                     kCheck, kArchive, kQuarantine, kWebhook };
Command classify_arguments(int argc, char** argv);

// The fixed sequence of a CGI run; returns the exit code (0). A request whose
// REQUEST_METHOD is set and not POST ends after the start-up lines with the
// 405 page: no form is read and nothing is sent.
int run_cgi();

// The entry point: sets g_program, dispatches on the arguments, returns the
// exit code.
int quillon_main(int argc, char** argv);
