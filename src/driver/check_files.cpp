// -check: whether the runs can write the log, the spool and the rate
// state, tried by writing (so ownership, modes and access lists all count).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/program.h"
#include "deliver/spool_store.h"
#include "driver/check.h"
#include "platform/os.h"

namespace {

// 0 when a file can be made (and is removed again) in `folder`, else errno.
int try_folder(const char* folder) {
  if (!os_is_directory(folder)) return ENOTDIR;
  char name[64];
  snprintf(name, sizeof name, ".quillon-check-%d", os_pid());
  char* path = spool_path(folder, name);
  FILE* file = fopen(path, "wb");
  int err = file == nullptr ? errno : 0;
  if (file != nullptr) {
    fclose(file);
    os_remove_file(path);
  }
  free(path);
  return err;
}

// The folder part of `path` ("." when it has none), in `out`.
void parent_of(const char* path, char* out, size_t size) {
  const char* cut = nullptr;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') cut = p;
  }
  if (cut == nullptr) {
    snprintf(out, size, ".");
  } else {
    snprintf(out, size, "%.*s", cut == path ? 1 : static_cast<int>(cut - path), path);
  }
}

// A file the runs append to or rewrite: opened to append when it is there
// (nothing is written), else its folder must take a new file.
int check_file(const char* what, const char* path, const char* who) {
  FILE* file = fopen(path, "rb");
  if (file != nullptr) {
    fclose(file);
    file = fopen(path, "ab");
    if (file != nullptr) {
      fclose(file);
      check_say("%s %s: writable %s", what, path, who);
      return 0;
    }
    return check_problem("%s %s is not writable %s (%s)", what, path, who, strerror(errno));
  }
  char folder[kPathAreaSize];
  parent_of(path, folder, sizeof folder);
  int err = try_folder(folder);
  if (err == 0) {
    check_say("%s %s: not there yet; it can be created %s", what, path, who);
    return 0;
  }
  return check_problem("%s %s cannot be created %s (%s): create it for the web server's user",
                       what, path, who, strerror(err));
}

// The spool's root and the folders the runs write in.
int check_spool(const Settings& settings, const char* ini_path, const char* who) {
  SpoolStore store;
  spool_store_open(settings.spool_folder, ini_path, settings.spool_keep_sent,
                   settings.smtp_timeout, nullptr, &store);
  int problems = 0;
  if (!os_is_directory(store.root)) {
    char folder[kPathAreaSize];
    parent_of(store.root, folder, sizeof folder);
    int err = try_folder(folder);
    if (err != 0) {
      problems += check_problem("spool_folder %s is not there and cannot be created %s (%s): "
                                "create it for the web server's user",
                                store.root, who, strerror(err));
    } else {
      check_say("spool_folder %s: not there yet; it can be created %s", store.root, who);
    }
  } else {
    const char* folders[] = {store.root, store.tmp, store.queue, store.sent};
    for (const char* folder : folders) {
      int err = os_is_directory(folder) ? try_folder(folder) : 0;
      if (err != 0) {
        problems += check_problem("spool folder %s is not writable %s (%s)", folder, who,
                                  strerror(err));
      }
    }
    if (problems == 0) check_say("spool_folder %s: writable %s", store.root, who);
  }
  spool_store_close(&store);
  return problems;
}

}  // namespace

int check_state_files(CheckRun* run) {
  char who[200];
  if (run->as_user != nullptr) {
    snprintf(who, sizeof who, "by %s", run->as_user);
  } else {
    snprintf(who, sizeof who, "by the current user");
    check_say("(as the current user; -check --as USER tries the web server's user)");
  }
  int problems = check_file("log", g_program.log_path, who);
  if (run->settings.spool_folder != nullptr) {
    problems += check_spool(run->settings, run->ini_path, who);
  }
  if (run->settings.rate_limit_minutes > 0) {
    problems += check_file("rate_limit state", g_program.rate_path, who);
  }
  return problems;
}
