#include "platform/user.h"

#include "platform/os.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

bool os_become_user(const char* name, OsSavedIds* saved, char* error, size_t size) {
  if (geteuid() != 0) {
    snprintf(error, size, "--as needs root (the checks would run as the current user)");
    return false;
  }
  struct passwd* user = getpwnam(name);
  if (user == nullptr) {
    snprintf(error, size, "there is no user %s", name);
    return false;
  }
  os_append_forget();
  gid_t groups[kMaxSavedGroups];
  int count = getgroups(kMaxSavedGroups, groups);
  saved->uid = geteuid();
  saved->gid = getegid();
  saved->group_count = count > 0 ? count : 0;
  for (int i = 0; i < saved->group_count; ++i) saved->groups[i] = groups[i];
  // Groups first: once the user id is switched, they can no longer be.
  if (initgroups(name, user->pw_gid) != 0 || setegid(user->pw_gid) != 0 ||
      seteuid(user->pw_uid) != 0) {
    int err = errno;
    os_restore_user(*saved);
    snprintf(error, size, "cannot act as %s: %s", name, strerror(err));
    return false;
  }
  return true;
}

void os_restore_user(const OsSavedIds& saved) {
  gid_t groups[kMaxSavedGroups];
  for (int i = 0; i < saved.group_count; ++i) groups[i] = saved.groups[i];
  os_append_forget();
  // Nothing can be done when switching back fails; the command ends soon.
  (void)seteuid(saved.uid);
  (void)setegid(saved.gid);
  (void)setgroups(static_cast<size_t>(saved.group_count), groups);
}

bool os_acting_as_root() { return geteuid() == 0; }
