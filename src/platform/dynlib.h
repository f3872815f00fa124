#pragma once
// What a client library opened at run time (the database client; see
// platform/library.h for the opening) needs of the system: waiting on its socket against
// the run's own deadline, and an environment cleared of the variables it
// would read by itself. May use the C library only. Errors as in os.h.

#include <cstddef>

// Whether this build can open client libraries at run time at all (false
// on Windows, where no database client is looked for).
bool os_libraries_loadable();

// Waits until the descriptor `fd` can be read (or, with `for_write`,
// written), no later than `deadline_ms` (an os_monotonic_ms() time).
// 1: ready (or in error: the next call on it says which); 0: the deadline
// came first; -1: the wait itself failed.
int os_wait_descriptor(long long fd, bool for_write, long long deadline_ms);

// Removes from the environment every variable whose name begins with
// `prefix` ("PG").
void os_clear_environment(const char* prefix);
