#pragma once
// Taking on another user's identity for a moment (-check --as USER): the
// effective user and group ids and the supplementary groups are switched
// and switched back, so the checks see what that user's runs would see.
// Only where the system has such ids and the program runs as root; on
// Windows the checks run as the current user. May use the C library only.

#include <cstddef>

constexpr int kMaxSavedGroups = 256;

struct OsSavedIds {
  unsigned uid;
  unsigned gid;
  int group_count;
  unsigned groups[kMaxSavedGroups];
};

// Switches the effective ids to `name`'s, keeping what to restore in
// `saved`. Returns false with the reason in `error` (`size` bytes): not
// root, no such user, a switch refused, or no such ids on this system.
bool os_become_user(const char* name, OsSavedIds* saved, char* error, size_t size);

// Switches back to the ids saved by os_become_user.
void os_restore_user(const OsSavedIds& saved);

// Whether the process acts as the superuser now (effective user id 0), who
// may write anywhere; false where the system has no such user (Windows).
bool os_acting_as_root();
