// -check: whether the runs can write the log, the spool and the rate
// state, tried by writing (so ownership, modes and access lists all count).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/program.h"
#include "deliver/spool_store.h"
#include "driver/check.h"
#include "guard/rate.h"
#include "platform/os.h"
#include "platform/user.h"

namespace {

// A folder that another user owns is not probed as root: a name there
// could be that user's link to a file of root's.
constexpr int kOthersFolder = -1;

// 0 when a new file can be made (and is removed again) in `folder`, else
// errno, or kOthersFolder. The probe has a random name and is created only
// where no file or link of that name is, so it never opens what is there.
int try_folder(const char* folder) {
  if (!os_is_directory(folder)) return ENOTDIR;
  if (os_acting_as_root() && (os_is_link(folder) || !os_owned_by_me(folder))) {
    return kOthersFolder;
  }
  int err = EEXIST;
  for (int attempt = 0; attempt < 3 && err == EEXIST; ++attempt) {
    char base[kSpoolNameSize];
    spool_new_name(base, sizeof base);
    char name[kSpoolNameSize + 32];
    snprintf(name, sizeof name, ".quillon-check-%s", base);
    char* path = spool_path(folder, name);
    err = os_write_new_file(path, "", 0, false);
    if (err == 0) os_remove_file(path);
    free(path);
  }
  return err;
}

// What try_folder's answer says, for a report line.
const char* probe_error(int err) {
  return err == kOthersFolder
             ? "it belongs to another user, and root does not try it: -check --as that "
               "user does"
             : strerror(err);
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
  long long size = 0;
  int there = os_file_size(path, &size);
  // A link, a FIFO or a device is never opened here (a link planted for
  // root would be followed, a FIFO would hold -check): the runs refuse it too.
  if (there == EINVAL) {
    return check_problem("%s %s is not a regular file %s: runs do not write through it", what,
                         path, who);
  }
  if (there == 0) {
    FILE* file = fopen(path, "ab");
    if (file != nullptr) {
      fclose(file);
      check_say("%s %s: writable %s", what, path, who);
      return 0;
    }
    return check_problem("%s %s is not writable %s (%s)", what, path, who, strerror(errno));
  }
  if (there != ENOENT) {
    return check_problem("%s %s cannot be looked at %s (%s)", what, path, who, strerror(there));
  }
  char folder[kPathAreaSize];
  parent_of(path, folder, sizeof folder);
  int err = try_folder(folder);
  if (err == 0) {
    check_say("%s %s: not there yet; it can be created %s", what, path, who);
    return 0;
  }
  if (err == kOthersFolder) {
    check_say("%s %s: not there yet; its folder %s is not tried (%s)", what, path, folder,
              probe_error(err));
    return 0;
  }
  return check_problem("%s %s cannot be created %s (%s): create it for the web server's user",
                       what, path, who, probe_error(err));
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
    if (err == kOthersFolder) {
      check_say("spool_folder %s: not there yet; its folder %s is not tried (%s)", store.root,
                folder, probe_error(err));
    } else if (err != 0) {
      problems += check_problem("spool_folder %s is not there and cannot be created %s (%s): "
                                "create it for the web server's user",
                                store.root, who, probe_error(err));
    } else {
      check_say("spool_folder %s: not there yet; it can be created %s", store.root, who);
    }
  } else {
    const char* folders[] = {store.root, store.tmp, store.queue, store.sent};
    bool untried = false;
    for (const char* folder : folders) {
      int err = os_is_directory(folder) ? try_folder(folder) : 0;
      if (err == kOthersFolder) {
        if (!untried) check_say("spool_folder %s: not tried (%s)", store.root, probe_error(err));
        untried = true;
      } else if (err != 0) {
        problems += check_problem("spool folder %s is not writable %s (%s)", folder, who,
                                  probe_error(err));
      }
    }
    if (problems == 0 && !untried) check_say("spool_folder %s: writable %s", store.root, who);
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
  } else {
    check_say("note: no spool_folder: a submission is lost when the mail server is down");
  }
  // A state file the web server's user cannot make or write lets its key
  // fail open, so when a key uses it, it must be there.
  const char* user = rate_state_user(run->settings);
  if (user != nullptr) {
    char what[64];
    snprintf(what, sizeof what, "%s state", user);
    long long size = 0;
    if (os_file_size(g_program.rate_path, &size) == ENOENT) {
      problems += check_problem("%s %s is not there: create it owned by the web server's user, "
                                "mode 600", what, g_program.rate_path);
    } else {
      problems += check_file(what, g_program.rate_path, who);
    }
  }
  problems += check_archive(run);
  return problems;
}
