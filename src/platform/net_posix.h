#pragma once
// What the POSIX socket half lends to the other POSIX platform files, so that
// the TLS layer waits and reports errors the same way the plain socket calls
// do. Not part of the portable interface.

#include "platform/net.h"

// The Windows Sockets number for an errno value (passed through when none).
int net_posix_error_code(int posix_error);

// A monotonic deadline timeout_seconds from now (none for 0 or less).
long long net_posix_deadline(int timeout_seconds);

// Waits until `sock` is ready for the poll() `events` or the deadline passes.
// Returns 1 when ready, 0 on time-out (last error 10060), -1 on failure (last
// error set).
int net_posix_wait(OsSocket sock, short events, long long deadline);
