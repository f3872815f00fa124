#include "driver/check_bounds.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "base/log.h"
#include "base/program.h"
#include "guard/rate.h"
#include "driver/check.h"
#include "form/form.h"
#include "deliver/spool_store.h"
#include "platform/os.h"

static void say(CheckNote* note, bool problem, const char* format, ...) QUILLON_PRINTF(3, 4);
static void say(CheckNote* note, bool problem, const char* format, ...) {
  note->problem = problem;
  va_list args;
  va_start(args, format);
  vsnprintf(note->text, sizeof note->text, format, args);
  va_end(args);
}

void check_log_size(const Settings& settings, CheckNote* note) {
  long long size = 0;
  long long limit = static_cast<long long>(settings.log_max_kb) * 1024;
  if (os_file_size(g_log.path, &size) != 0) size = 0;
  if (limit <= 0) {
    say(note, false, "log %s: %lld KB, no log_max_kb bound.", g_log.path, size / 1024);
  } else if (size >= 2 * limit) {
    say(note, true, "log %s: %lld KB, twice log_max_kb (%d KB) or more: nothing is written "
        "until it is rotated or blanked.", g_log.path, size / 1024, settings.log_max_kb);
  } else if (size >= limit) {
    say(note, true, "log %s: %lld KB, past log_max_kb (%d KB): only outcome lines are "
        "written until it is rotated or blanked.", g_log.path, size / 1024, settings.log_max_kb);
  } else {
    say(note, false, "log %s: %lld KB of log_max_kb %d KB.", g_log.path, size / 1024,
        settings.log_max_kb);
  }
}

// The spool's paths, or false with `none` said when there is no spool.
static bool open_spool(const Settings& settings, const char* ini_path, const char* none,
                       CheckNote* note, SpoolStore* store) {
  if (settings.spool_folder == nullptr) {
    say(note, false, "%s", none);
    return false;
  }
  spool_store_open(settings.spool_folder, ini_path, settings.spool_keep_sent,
                   settings.smtp_timeout, nullptr, store);
  return true;
}

void check_spool_size(const Settings& settings, const char* ini_path, CheckNote* note) {
  SpoolStore store;
  if (!open_spool(settings, ini_path, "no spool_folder: nothing is queued.", note, &store)) {
    return;
  }
  long long queued = spool_queue_bytes(store);
  long long most = static_cast<long long>(settings.spool_max_mb) * 1024 * 1024;
  long long free_bytes = 0;
  long long total = 0;
  bool measured = os_disk_space(store.root, &free_bytes, &total) == 0;
  long long floor = spool_free_floor(total);
  bool full = settings.spool_max_mb > 0 && queued >= most;
  bool low = measured && free_bytes < floor;
  say(note, full || low,
      "queue %s: %lld KB of spool_max_mb %d MB%s; %s%lld MB free, the floor %lld MB%s.",
      store.queue, (queued + 1023) / 1024, settings.spool_max_mb,
      full ? " (full: new messages go out without a copy)" : "", measured ? "" : "unknown, ",
      free_bytes / (1024 * 1024), floor / (1024 * 1024),
      low ? " (below it: new messages go out without a copy)" : "");
  spool_store_close(&store);
}

void check_resend_owner(const Settings& settings, const char* ini_path, CheckNote* note) {
  SpoolStore store;
  if (!open_spool(settings, ini_path, "no spool_folder: -resend has nothing to do.", note,
                  &store)) {
    return;
  }
  char why[kCheckNoteSize - 20];
  if (spool_owned_by_me(store, why, sizeof why)) {
    say(note, false, "-resend may run as this user on %s.", store.root);
  } else {
    say(note, true, "%s.", why);
  }
  spool_store_close(&store);
}

// The CGI limits of docs/deploy.md's set-ups, in seconds.
constexpr int kDocumentedServerLimit = 40;

void check_run_budget(const Settings& settings, CheckNote* note) {
  say(note, false, "run_deadline %d s: every run answers within it; the web server's limit on "
      "a CGI run must stay above it (the deployment notes set %d s: Apache's Timeout, "
      "lighttpd's cgi.limits read-timeout, IIS's cgi timeout)%s.", settings.run_deadline,
      kDocumentedServerLimit,
      settings.run_deadline >= kDocumentedServerLimit ? ", so raise theirs" : "");
}

void check_deadline_speed(const Settings& settings, CheckNote* note) {
  note->problem = false;
  note->text[0] = '\0';
  if (settings.attachments_max_kb <= 0) return;
  int run = settings.run_deadline;
  int seconds = settings.smtp_deadline < run ? settings.smtp_deadline : run;
  // The files as base64 (76 characters and a line end for every 57 bytes),
  // with the text a form may carry besides them.
  long long files = static_cast<long long>(settings.attachments_max_kb) * 1024;
  long long wire = (files + 56) / 57 * 78 + kMaxFormBody;
  long long kb = (wire + 1023) / 1024;
  long long speed = (kb + seconds - 1) / seconds;
  say(note, false, "smtp_deadline %d s%s%d s): a message with attachments_max_kb %d is up to "
      "%lld KB on the wire, so the relay must take at least %lld KB/s (%.1f Mbit/s), or a large "
      "message is not sent in time.", settings.smtp_deadline,
      settings.smtp_deadline > run ? " (a run ends after " : " (within a run's ", run,
      settings.attachments_max_kb, kb, speed,
      static_cast<double>(speed) * 8 * 1024 / 1000000);
}

bool paths_from_folder(const char* program) {
  // derive_path cuts at the first ".exe", then at the first ".cgi" before it.
  const char* exe = strstr(program, ".exe");
  const char* cgi = strstr(program, ".cgi");
  const char* cut = exe == nullptr ? cgi : cgi == nullptr || exe < cgi ? exe : cgi;
  if (cut == nullptr) return false;
  for (const char* p = cut; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') return true;
  }
  return false;
}

void check_paths_from_folder(const char* program, const char* ini_path, const char* log_path,
                             CheckNote* note) {
  if (paths_from_folder(program)) {
    say(note, true, "the settings file %s and the log %s are named after a folder of %s, "
        "not after the program's own file name.", ini_path, log_path, program);
  } else {
    say(note, false, "settings file %s, log %s.", ini_path, log_path);
  }
}

// The section of -check: each note above, then the rate state's own
// usability when a key needs it. A note that is no problem is said as it
// is; a problem counts.
int check_limits(CheckRun* run) {
  const Settings& settings = run->settings;
  CheckNote notes[6] = {};
  check_paths_from_folder(program_path(), run->ini_path, g_log.path, &notes[0]);
  check_log_size(settings, &notes[1]);
  check_spool_size(settings, run->ini_path, &notes[2]);
  check_resend_owner(settings, run->ini_path, &notes[3]);
  check_deadline_speed(settings, &notes[4]);
  check_run_budget(settings, &notes[5]);
  int problems = 0;
  for (const CheckNote& note : notes) {
    if (note.text[0] == '\0') continue;
    if (note.problem) {
      problems += check_problem("%s", note.text);
    } else {
      check_say("%s", note.text);
    }
  }
  bool state_needed = rate_state_user(settings) != nullptr;
  // A state file not made yet is the files section's: whether it can be.
  long long size = 0;
  bool exists = os_file_size(g_program.rate_path, &size) == 0;
  char why[kCheckNoteSize] = "";
  if (state_needed && exists && !rate_state_usable(g_program.rate_path, why, sizeof why)) {
    problems += check_problem("rate state: %s", why);
  }
  if (settings.shared_state != nullptr) problems += check_shared_state(run);
  return problems;
}
