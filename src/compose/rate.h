#pragma once
// The rate limit: at most N submissions from one client address in M
// minutes, counted in a small state file shared by every run.
//
// The file (g_program.rate_path) is read, changed and written back in place
// under an exclusive lock. It holds a header and one entry per admitted
// submission: a keyed hash of the client address (never the address) and
// the time. A checksum over the whole content lets a run tell a file that a
// crash or a full disk left half-written; such a file is started afresh.
//
// Layout, integers little-endian:
//   0  8 bytes   "QLRATE1\n"
//   8  16 bytes  the file's random hash key
//   24 4 bytes   entry count, at most kRateMaxEntries
//   28 4 bytes   zero
//   32 8 bytes   checksum: FNV-1a 64 over the 64-bit words of bytes 0..31
//                and of every entry
//   40 16 bytes per entry: client hash (8), admission time in seconds since
//                1970 (8), oldest first

#include <cstddef>
#include <cstdint>

#include "config/settings.h"

constexpr int kRateMaxEntries = 10000;
constexpr int kRateKeySize = 16;
constexpr size_t kRateHeaderSize = 40;
constexpr size_t kRateEntrySize = 16;
constexpr size_t kRateFileMax = kRateHeaderSize + kRateEntrySize * kRateMaxEntries;
constexpr int kRateLockWaitMs = 1000;

struct RateEntry {
  uint64_t client;
  int64_t time;
};

// The state read from the file.
struct RateTable {
  unsigned char key[kRateKeySize];
  int count;
  RateEntry entries[kRateMaxEntries];
};

// SipHash-2-4 of the client address under the table's key.
uint64_t rate_client_hash(const RateTable& table, const char* address);

// Reads `length` bytes of file content into `table`. Returns false, leaving
// the table in no particular state, when they are not a whole, undamaged
// state file.
bool rate_decode(const char* data, size_t length, RateTable* table);

// Writes the table as file content into `out` (room for kRateFileMax bytes);
// returns its length.
size_t rate_encode(const RateTable& table, char* out);

// Makes the table empty under a new random key.
void rate_start_afresh(RateTable* table);

// Drops the entries older than `window_seconds` before `now` (and any from
// more than that far in the future: a clock set back), then admits one
// submission of `client` when it has fewer than `limit` entries left: the
// entry is added, the oldest entries giving way beyond kRateMaxEntries.
// Returns whether it was admitted.
bool rate_admit(RateTable* table, uint64_t client, int64_t now, int limit,
                int64_t window_seconds);

// The run's check with the rate_limit setting: true when the submission may
// be sent. Over the limit: false and an error line naming the client
// address (REMOTE_ADDR). A state file that cannot be opened, locked within
// kRateLockWaitMs or written, and a run without a client address, give
// true and an error line: a broken limit must not lose a visitor's mail.
bool rate_limit_allows(const Settings& settings);
