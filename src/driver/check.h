#pragma once
// The -check command: reads the settings file as a run does and prints a
// report a person reads top to bottom, section by section, then one closing
// line, "ready" or "N problems". Exit code 0 when nothing is wrong, 3
// otherwise. By hand only (never under a web server), like the other
// commands; it writes nothing to the log: the log's error lines met on the
// way are shown in the report instead.
//
// Adding a section: write `int check_NAME(CheckRun* run)` in a file of its
// own (src/driver/check_NAME.cpp, listed in CMakeLists.txt), declare it
// below, and add a row to kCheckSections in check.cpp where the report
// should show it. The function prints its lines with check_say / check_problem
// and returns the number of problems it found (a note is no problem). The
// first row reads the settings file; every later section finds it in
// run->settings. A section marked `as_user` runs with the ids of
// `--as USER` when one was given.

#include "base/text.h"
#include "config/settings.h"

struct CheckRun {
  Settings settings;  // as the run would hold them
  const char* ini_path;
  const char* as_user;  // --as USER, or null: the current user
  int log_errors;       // error lines the log would have received so far
};

using CheckSectionFn = int (*)(CheckRun* run);

struct CheckSection {
  const char* title;  // the section's heading line
  CheckSectionFn run;
  bool as_user;       // runs as the --as user
  // Null, or whether the section applies to these settings: one that does
  // not is left out of the report, heading and all.
  bool (*applies)(const Settings& settings) = nullptr;
};

// One line of a section: "  " and the formatted text.
void check_say(const char* format, ...) QUILLON_PRINTF(1, 2);

// One problem: "  problem: " and the text. Returns 1, for the count.
int check_problem(const char* format, ...) QUILLON_PRINTF(1, 2);

// The sections.
int check_settings_lines(CheckRun* run);  // in check.cpp: each line of the file
int check_pages(CheckRun* run);           // check_pages.cpp
int check_state_files(CheckRun* run);     // check_files.cpp: log, spool, rate state
int check_mail_server(CheckRun* run);     // check_server.cpp
int check_captcha(CheckRun* run);         // captcha_run.cpp: captcha_check_section
int check_archive(CheckRun* run);         // check_archive.cpp: part of check_state_files
int check_spam(CheckRun* run);            // check_spam.cpp: content rules, engine, GTUBE
bool check_spam_applies(const Settings& settings);
int check_limits(CheckRun* run);          // check_bounds.cpp: log and queue sizes, -resend's owner, the rate state
// check_shared_state.cpp: the database of shared_state (within check_limits, when set)
int check_shared_state(CheckRun* run);
int check_virus_scan(CheckRun* run);     // check_virus.cpp: clamd, when virus_scan is set
bool check_virus_applies(const Settings& settings);
int check_webhooks(CheckRun* run);        // webhook_cmd.cpp: a test request to each webhook
bool webhooks_in_use(const Settings& settings);  // webhook_cmd.cpp

// The command: `argv` is "-check" or "-check --as USER".
int check_command(int argc, char** argv);
