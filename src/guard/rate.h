#pragma once
// The rate state: a small file shared by every run that keeps, under keyed
// hashes, what must be remembered from run to run: admissions for the rate
// limit (at most N submissions from one client address in M minutes),
// posts already sent (duplicate_window), confirmation mails already sent
// (autoreply_window) and the durations of the recent sent runs (the time a
// honeypot catch answers in). It may touch the state file (through the
// platform's locked file) and the log; it sends nothing.
//
// The file (g_program.rate_path) has one fixed size. Under an exclusive
// lock a run reads its header, then its slots a chunk at a time, and
// writes back in place only what changed: the working set is the header
// and one chunk, whatever the file holds. A slot holds a keyed hash (never
// the address or the value), the time it was recorded and how long it is
// kept; slots are used in turn, so the oldest gives way first, but never a
// pinned slot (a challenge of the replay memory) before its time ran out: a
// record takes the next slot when it is free, else the first free slot;
// with none free, a pinned record is refused, and one that is not takes the
// next slot, or the first unpinned one when the next is pinned. A checksum
// over the whole content lets a run tell a file that a crash or a full
// disk left half-written; such a file, and one of the older format, is
// started afresh (logged).
//
// Layout, integers little-endian:
//   0    8 bytes  "QLRATE2\n"
//   8   16 bytes  the file's random hash key
//   24   4 bytes  the slot written next (0 .. kRateMaxEntries - 1)
//   28   4 bytes  the duration slot written next (0 .. kRateDurations - 1)
//   32   8 bytes  checksum: the sum of rate_word_term over every other
//                 64-bit word of the file
//   40 128 bytes  kRateDurations durations of sent runs in microseconds
//                 (0: none)
//   168           kRateMaxEntries slots of 16 bytes: hash (8, 0: free),
//                 time recorded in seconds since 1970 (4), seconds kept (4,
//                 its top bit kRatePinned)
// The slots are read kRateChunkSlots at a time, and only the parts that
// changed are written back: the checksum is a sum, so it follows a change
// without a second pass.

#include <cstddef>
#include <cstdint>

#include "config/settings.h"

constexpr int kRateMaxEntries = 10000;
constexpr int kRateKeySize = 16;
constexpr int kRateDurations = 32;
constexpr int kRateChunkSlots = 1000;
constexpr int kRateLockWaitMs = 1000;

struct RateSlot {
  uint64_t hash;
  uint32_t time;
  uint32_t kept;
};

// The file's first bytes as they lie in memory (and on the disk).
struct RateHeader {
  char magic[8];
  unsigned char key[kRateKeySize];
  uint32_t next_slot;
  uint32_t next_duration;
  uint64_t checksum;
  uint32_t durations_us[kRateDurations];
};
constexpr size_t kRateFileSize = sizeof(RateHeader) + sizeof(RateSlot) * kRateMaxEntries;

// The top bit of a slot's `kept`: the slot never gives way before its time
// ran out. The seconds kept are the other 31 bits.
constexpr uint32_t kRatePinned = 0x80000000u;
constexpr uint32_t kRateKeptMask = 0x7fffffffu;

// What a slot's hash stands for; each kind hashes under its own key.
enum class RateKind { kClient, kDuplicate, kAutoreply };

// SipHash-2-4 of `length` bytes of `data` under the file's key (for
// kClient; the other kinds under that key with a kind-specific change).
// Never 0, which marks a free slot.
uint64_t rate_hash(const RateHeader& header, RateKind kind, const char* data, size_t length);

// A 128-bit digest of `length` bytes of `data` (SipHash-2-4 under two
// fixed keys, not the file's), as 32 hex digits and a NUL into `out`
// (kRateDigestSize bytes): the same bytes give the same text in every run.
constexpr size_t kRateDigestSize = 33;
void rate_bytes_digest(const char* data, size_t length, char* out);

// The same digest over bytes that come in pieces (a file read in blocks):
// rate_digest_start, rate_digest_add any number of times, rate_digest_end.
struct RateDigest {
  uint64_t v[2][4];
  unsigned char tail[8];
  size_t tail_length;
  uint64_t length;
};
void rate_digest_start(RateDigest* digest);
void rate_digest_add(RateDigest* digest, const char* data, size_t length);
void rate_digest_end(RateDigest* digest, char* out);

// The checksum's share of the 64-bit `word` at word `index` of the file;
// rate_terms sums it over `count` words from `data`, the first at `index`.
// Each term is a bijection of the word that differs from place to place:
// any one word changed, or two swapped, changes the sum. The place of word
// `index` is kRateTermStep * (index + 1), so a pass over the words steps
// it by kRateTermStep (rate_place_term) instead of multiplying.
constexpr uint64_t kRateTermStep = 0x9e3779b97f4a7c15ULL;
inline uint64_t rate_place_term(uint64_t place, uint64_t word) {
  return (word ^ place) * 0xff51afd7ed558ccdULL;
}
inline uint64_t rate_word_term(size_t index, uint64_t word) {
  return rate_place_term(kRateTermStep * (index + 1), word);
}
uint64_t rate_terms(const void* data, size_t index, size_t count);

// The checksum's share of the header (every word but the checksum).
uint64_t rate_header_terms(const RateHeader& header);

// Whether the header starts a whole state (magic, indexes in range).
bool rate_header_sane(const RateHeader& header);

// An empty header under a new random key.
void rate_header_start(RateHeader* header);

// Whether the slot's time has run out at `now` (or it was recorded more
// than its time ahead of `now`: a clock set back). Inline: a turn asks it
// of every slot.
inline bool rate_slot_expired(const RateSlot& slot, int64_t now) {
  // Kept while now - kept < time <= now + kept: one unsigned comparison.
  int64_t kept = slot.kept & kRateKeptMask;
  uint64_t from_start = static_cast<uint64_t>(static_cast<int64_t>(slot.time) - (now - kept) - 1);
  return from_start >= static_cast<uint64_t>(2 * kept);
}

// A slot for `hash` recorded at `now`, kept `window_seconds` (at most
// kRateKeptMask).
RateSlot rate_slot_make(uint64_t hash, int64_t now, int64_t window_seconds);

// Keeps the duration of one sent run, the oldest of kRateDurations giving way.
void rate_note_duration(RateHeader* header, long long microseconds);

// The median of the kept durations in microseconds; -1 when none is kept.
long long rate_median_duration(const RateHeader& header);

// The client address of REMOTE_ADDR as the state counts it, into `out`
// (kRateClientSize bytes): an IPv4 address as a.b.c.d (also when written
// as ::ffff:a.b.c.d), an IPv6 one as its /64 ("2001:db8:0:1::/64"). A value
// that is no address gives the one shared key "invalid" and false.
constexpr size_t kRateClientSize = 48;
bool rate_client_key(const char* remote_addr, char* out);

// The run's check with the rate_limit setting for the client address
// `client` (the request's REMOTE_ADDR, null when not given): true when the
// submission may be sent. Over the limit: false and an error line naming
// the client address. A state file that cannot be opened, locked within
// kRateLockWaitMs or written, and a run without a client address, give
// true and an error line: a broken limit must not lose a visitor's mail.
bool rate_limit_allows(const Settings& settings, const char* client);

// Whether `key` (length bytes) of `kind` was recorded within the last window_seconds; when it was not and `record` is true, records it now. False also when the state cannot be used (with an error line). Takes the state file's lock.
// kReplay is the proof-of-work CAPTCHA's replay memory: its records are
// pinned (hashed as kDuplicate, under keys of their own).
enum class RateWindowKind { kDuplicate, kAutoreply, kReplay };
bool rate_window_seen(const char* state_path, RateWindowKind kind, const char* key, size_t length, long long window_seconds, bool record);

// As rate_window_seen with `record`, told apart: 1 when `key` was seen
// within the window, 0 when it was not (and is recorded now), -1 when the
// state cannot be used or the record written (an error line), -2 (kReplay
// only) when every slot holds a pinned record whose time has not run out:
// nothing is recorded, nothing given way.
int rate_window_take(const char* state_path, RateWindowKind kind, const char* key,
                     size_t length, long long window_seconds);

// How many slots of `key` (of `kind`) the state file holds recorded within
// the last window_seconds; -1 when it cannot be used (logged).
int rate_window_count(const char* state_path, RateWindowKind kind, const char* key,
                      size_t length, long long window_seconds);

// Takes back what a rate_window_seen with `record` recorded (a post whose
// delivery failed must not count as sent). Failures are logged.
void rate_window_forget(const char* state_path, RateWindowKind kind, const char* key,
                        size_t length, long long window_seconds);

// The first key of the settings that needs the state file (rate_limit,
// duplicate_window, the confirmation's autoreply_window, `captcha altcha`'s
// replay memory); null for none, and with shared_state, which keeps them
// in the database.
// The file must then be there for the web server's user.
const char* rate_state_user(const Settings& settings);

// Whether the run's settings use the state file (rate_limit or
// duplicate_window): only then are sent runs' durations kept in it.
bool rate_state_in_use(const Settings& settings);

// Keeps the duration of a sent run in the state file. Failures are logged.
void rate_record_sent_run(const char* state_path, long long microseconds);

// The median duration of the recent sent runs in the state file, in
// milliseconds; `fallback` when it keeps none or cannot be read.
long long rate_sent_run_median_ms(const char* state_path, long long fallback);

// For -check: whether the state file at `path` can be used by this user,
// without creating it. False with the reason and what to do (e.g. "create
// quillon.rate owned by www-data, mode 600") in `problem` (`size` bytes).
// A missing file in a folder this user may write to is usable: the first
// run creates it.
bool rate_state_usable(const char* path, char* problem, size_t size);
