#pragma once
// What -check reports of the program's bounds and of whose files it works
// on: the log's size, the queue's size and free space, who may run -resend,
// where the settings and log paths come from, and the relay speed the
// largest message needs. May use everything below
// the driver; each report only looks, it changes nothing.
//
// Errors: each fills a CheckNote, a problem or not, with its text.

#include <cstddef>

#include "config/settings.h"

constexpr size_t kCheckNoteSize = 700;

struct CheckNote {
  bool problem;
  char text[kCheckNoteSize];
};

// The log at g_log.path against log_max_kb: a problem once it is past the
// limit (only outcome lines are written) or twice the limit (nothing is).
void check_log_size(const Settings& settings, CheckNote* note);

// queue/ against spool_max_mb, and the free space of the spool's file
// system against its floor; no problem without a spool_folder.
void check_spool_size(const Settings& settings, const char* ini_path, CheckNote* note);

// Whether this user may run -resend on the spool: a problem when the folder
// belongs to another user or is a link (the rule -resend applies).
void check_resend_owner(const Settings& settings, const char* ini_path, CheckNote* note);

// The run's budget (run_deadline) beside the web servers' limits on a CGI
// run that the deployment notes set: a note, never a problem.
void check_run_budget(const Settings& settings, CheckNote* note);

// With attachments on, the relay speed the largest message needs to be
// handed over within smtp_deadline (and run_deadline, which the SMTP
// exchange ends within whatever smtp_deadline says): a note, never a
// problem; empty without attachments.
void check_deadline_speed(const Settings& settings, CheckNote* note);

// Whether the first ".exe" or ".cgi" of `program` (which names the settings
// and log files) lies in a folder's name rather than the program's own.
bool paths_from_folder(const char* program);

// The same as a note for -check, naming the settings and log paths.
void check_paths_from_folder(const char* program, const char* ini_path, const char* log_path,
                             CheckNote* note);
