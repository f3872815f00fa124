#pragma once
// Shared set-up of the fuzz targets: the program's output and log go nowhere.

#include <cstdio>

#include "base/log.h"

inline void fuzz_quiet_process() {
  if (freopen("/dev/null", "w", stdout) == nullptr) return;
  g_log.path = "/dev/null";
}
