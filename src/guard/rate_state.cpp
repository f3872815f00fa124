// The runs' side of rate.h: one turn at the locked state file, and the
// checks and records the run makes with it.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/log.h"
#include "base/program.h"
#include "guard/rate.h"
#include "config/settings.h"
#include "platform/os.h"

// Who uses the state in a turn: named in its error lines, with what a
// failure costs.
struct StateUse {
  const char* setting;
  const char* unusable;    // when the file cannot be opened or locked; null:
                           // not logged (the run's check said so already)
  const char* unwritten;   // when the changed state cannot be written
  bool must_write;         // a turn whose change cannot be written fails
};
static const StateUse kRateUse = {"rate_limit", "sending without the limit",
                                  "this submission is not counted", false};
static const StateUse kDuplicateUse = {"duplicate_window", "sending without the duplicate check",
                                       "this post is not remembered", false};
// A confirmation is an extra: none goes when its window cannot be kept.
static const StateUse kAutoreplyUse = {"autoreply_window", "no confirmation sent",
                                       "no confirmation sent", true};
// A challenge that cannot be remembered is not accepted.
static const StateUse kReplayUse = {"captcha altcha", "the solution is refused",
                                    "the solution is refused", true};
static const StateUse kDurationUse = {"rate", nullptr, "the run's duration is not kept",
                                      false};

// The last part of a path: the file's name.
static const char* base_name(const char* path) {
  const char* name = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') name = p + 1;
  }
  return name;
}

// What to do about a state file that cannot be opened: the run's user must
// own it.
static void advice(const char* path, char* out, size_t size) {
  char user[128];
  os_user_name(user, sizeof user);
  snprintf(out, size, "create %s owned by %s, mode 600", base_name(path), user);
}

// What a turn looks for in the slots, and what it found there.
struct Scan {
  const char* key;  // null: nothing is looked for
  size_t length;
  RateKind kind;
  int64_t window;
  uint64_t hash;
  bool pinned;      // a record is pinned
  bool full;        // a record found no slot that may take it
  int seen;         // slots of `hash` within the window
  int last_seen;    // the most recent of them; -1: none
  int first_free;   // the first free slot (after those run out were freed); -1: none
  int first_loose;  // the first slot in use and not pinned; -1: none
  RateSlot at_next;
  RateSlot at_last;
  RateSlot at_loose;
};

static Scan scan_for(const char* key, size_t length, RateKind kind, int64_t window) {
  Scan scan = {};
  scan.key = key;
  scan.length = length;
  scan.kind = kind;
  scan.window = window;
  return scan;
}

// Where a record goes (see rate.h): the next slot when it is free, else
// the first free one, else, for a record that is not pinned, the next slot
// or the first one that is not pinned; -1 when none may take it.
static int record_place(const RateHeader& header, const Scan& scan) {
  if (scan.at_next.hash == 0) return static_cast<int>(header.next_slot);
  if (scan.first_free >= 0) return scan.first_free;
  if (scan.pinned) return -1;
  if ((scan.at_next.kept & kRatePinned) == 0) return static_cast<int>(header.next_slot);
  return scan.first_loose;
}

// What a step asks of the turn once the slots were read.
struct StepAsk {
  bool record;          // `hash` into a slot (record_place)
  bool forget;          // the most recent slot of `hash` freed
  bool header_changed;  // e.g. a duration noted
};
using Step = StepAsk (*)(RateHeader* header, const Scan& scan, void* context);

// The working set of one turn under the lock, whatever the file holds: the
// header and one chunk of slots (one slot more: a longer file reads as no
// whole state), kept off the stack (16 KB) and reused for every chunk.
static struct {
  RateHeader header;
  RateSlot chunk[kRateChunkSlots + 1];
} g_rate_work;

static int64_t now_seconds() { return static_cast<int64_t>(time(nullptr)); }

static long long slot_offset(int index) {
  return static_cast<long long>(sizeof(RateHeader) + sizeof(RateSlot) * index);
}

static uint64_t slot_terms(int index, const RateSlot& slot) {
  return rate_terms(&slot, static_cast<size_t>(slot_offset(index) / 8), 2);
}

// One chunk of slots as read into g_rate_work.chunk, its first slot at
// `first`: frees those whose time ran out and counts those of scan->hash.
// The checksum's terms are (word ^ place) * mix, so the pass sums the xors
// alone into *as_read and their change by the freeing into *freed, and the
// caller multiplies once (rate_place_term of the sum), modulo 2^64 as ever.
// True when a slot was freed.
static bool scan_chunk(int first, int64_t now, Scan* scan, uint64_t* as_read, uint64_t* freed) {
  uint64_t place = kRateTermStep * (static_cast<size_t>(slot_offset(first) / 8) + 1);
  uint64_t mixed = 0;
  uint64_t change = 0;
  bool changed = false;
  const uint64_t wanted = scan->hash;
  const int64_t since = now - scan->window;
  int seen = 0;
  int last_seen = -1;
  int first_free = -1;
  int first_loose = -1;
  for (int i = 0; i < kRateChunkSlots; ++i, place += 2 * kRateTermStep) {
    RateSlot& slot = g_rate_work.chunk[i];
    uint64_t times;
    memcpy(&times, reinterpret_cast<const char*>(&slot) + 8, sizeof times);  // time, kept
    uint64_t xors = (slot.hash ^ place) + (times ^ (place + kRateTermStep));
    mixed += xors;
    if (slot.hash != 0 && rate_slot_expired(slot, now)) {
      change += place + (place + kRateTermStep) - xors;  // a free slot's words are 0
      slot = RateSlot{0, 0, 0};
      changed = true;
    }
    if (slot.hash == 0) {
      if (first_free < 0) first_free = i;
      continue;
    }
    if (first_loose < 0 && (slot.kept & kRatePinned) == 0) first_loose = i;
    if (slot.hash == wanted && static_cast<int64_t>(slot.time) > since) {
      ++seen;
      last_seen = i;
    }
  }
  if (scan->first_free < 0 && first_free >= 0) scan->first_free = first + first_free;
  if (scan->first_loose < 0 && first_loose >= 0) {
    scan->first_loose = first + first_loose;
    scan->at_loose = g_rate_work.chunk[first_loose];
  }
  if (seen > 0) {
    scan->seen += seen;
    scan->last_seen = first + last_seen;
    scan->at_last = g_rate_work.chunk[last_seen];
  }
  int next = static_cast<int>(g_rate_work.header.next_slot) - first;
  if (next >= 0 && next < kRateChunkSlots) scan->at_next = g_rate_work.chunk[next];
  *as_read = mixed;
  *freed = change;
  return changed;
}

// The pass over the slots, a chunk at a time (writing back each chunk that
// changed). Adds the checksum terms of the slots as read to *old_sum and as
// left to *new_sum; *read is the bytes of slots read. False when the slots
// are not whole (short, longer, unreadable).
static bool scan_slots(OsLockedFile* file, int64_t now, Scan* scan, uint64_t* old_sum,
                       uint64_t* new_sum, long* read, int* write_error) {
  const size_t chunk_bytes = sizeof(RateSlot) * kRateChunkSlots;
  for (int first = 0; first < kRateMaxEntries; first += kRateChunkSlots) {
    bool last = first + kRateChunkSlots == kRateMaxEntries;
    long got = os_locked_read_at(file, slot_offset(first),
                                 reinterpret_cast<char*>(g_rate_work.chunk),
                                 chunk_bytes + (last ? sizeof(RateSlot) : 0));
    if (got > 0) *read += got;
    if (got != static_cast<long>(chunk_bytes)) return false;
    uint64_t mixed = 0;
    uint64_t freed = 0;
    bool changed = scan_chunk(first, now, scan, &mixed, &freed);
    *old_sum += rate_place_term(0, mixed);
    *new_sum += rate_place_term(0, mixed + freed);
    if (!changed) continue;
    int error = os_locked_write_at(file, slot_offset(first),
                                   reinterpret_cast<const char*>(g_rate_work.chunk), chunk_bytes);
    if (*write_error == 0) *write_error = error;
  }
  return true;
}

// Makes the file an empty state: a new header, every slot free. Returns
// the checksum terms of the slots in *sum, and 0 or the write's error.
static int start_afresh(OsLockedFile* file, uint64_t* sum) {
  rate_header_start(&g_rate_work.header);
  memset(g_rate_work.chunk, 0, sizeof g_rate_work.chunk);
  const size_t chunk_bytes = sizeof(RateSlot) * kRateChunkSlots;
  int error = os_locked_rewrite(file, reinterpret_cast<const char*>(&g_rate_work.header),
                                sizeof g_rate_work.header);
  *sum = 0;
  for (int first = 0; first < kRateMaxEntries; first += kRateChunkSlots) {
    if (error == 0) {
      error = os_locked_write_at(file, slot_offset(first),
                                 reinterpret_cast<const char*>(g_rate_work.chunk), chunk_bytes);
    }
    *sum += rate_terms(g_rate_work.chunk, static_cast<size_t>(slot_offset(first) / 8),
                       2 * kRateChunkSlots);
  }
  return error;
}

// Reads the header and the slots; a file that is no whole state is logged
// (when not empty) and started afresh. False when it cannot be read.
static bool load_state(OsLockedFile* file, const char* path, const StateUse& use, Scan* scan,
                       uint64_t* sum, bool* changed, int* write_error) {
  RateHeader& header = g_rate_work.header;
  long got = os_locked_read_at(file, 0, reinterpret_cast<char*>(&header), sizeof header);
  if (got < 0) {
    int error = static_cast<int>(-got);
    log_event(LOG_ERROR, "%s state file (%s) could not be read (%d)(%s): %s.", use.setting,
              path, error, strerror(error),
              use.unusable != nullptr ? use.unusable : use.unwritten);
    return false;
  }
  int64_t now = now_seconds();
  uint64_t old_sum = 0;
  long read = 0;
  bool whole = got == static_cast<long>(sizeof header) && rate_header_sane(header);
  if (whole) {
    if (scan->key != nullptr) scan->hash = rate_hash(header, scan->kind, scan->key, scan->length);
    whole = scan_slots(file, now, scan, &old_sum, sum, &read, write_error) &&
            header.checksum == rate_header_terms(header) + old_sum;
    *changed = *sum != old_sum;
  }
  if (whole) return true;
  long length = got + read;
  if (got >= 8 && memcmp(header.magic, "QLRATE1\n", 8) == 0) {
    log_event(LOG_ERROR, "%s state file (%s) is of the older format: starting it afresh.",
              use.setting, path);
  } else if (length > static_cast<long>(kRateFileSize)) {
    log_event(LOG_ERROR,
              "%s state file (%s) is damaged (over %ld bytes: no whole state): starting it "
              "afresh.",
              use.setting, path, static_cast<long>(kRateFileSize));
  } else if (length != 0) {
    log_event(LOG_ERROR,
              "%s state file (%s) is damaged (%ld bytes that are no whole state): starting it "
              "afresh.",
              use.setting, path, length);
  }
  *write_error = start_afresh(file, sum);
  scan->hash =
      scan->key != nullptr ? rate_hash(header, scan->kind, scan->key, scan->length) : 0;
  scan->seen = 0;
  scan->last_seen = -1;
  scan->first_free = scan->first_loose = -1;
  scan->at_next = RateSlot{0, 0, 0};
  *changed = true;
  return true;
}

// For a step that changes the header alone: reads just the header and
// takes the slots' share of the checksum from it, as the file claims it
// (the checksum less the header's terms), so that the header can be
// rewritten without a pass over the slots. A file whose slots do not match
// its checksum keeps that mismatch, to be found by the next whole turn.
// False when the header is no whole state's: the caller then takes the
// whole turn, which starts such a file afresh.
static bool load_header(OsLockedFile* file, uint64_t* sum) {
  long got = os_locked_read_at(file, 0, reinterpret_cast<char*>(&g_rate_work.header),
                               sizeof g_rate_work.header);
  if (got != static_cast<long>(sizeof g_rate_work.header) ||
      !rate_header_sane(g_rate_work.header)) {
    return false;
  }
  *sum = g_rate_work.header.checksum - rate_header_terms(g_rate_work.header);
  return true;
}

// Carries out what the step asked, the record into slot `place` (-1:
// none); the header is written last, so that a turn cut short leaves a
// checksum that no longer matches.
static int apply_ask(OsLockedFile* file, const Scan& scan, const StepAsk& ask, int place,
                     uint64_t sum) {
  int error = 0;
  if (place >= 0) {
    int index = place;
    bool next = index == static_cast<int>(g_rate_work.header.next_slot);
    RateSlot slot = rate_slot_make(scan.hash, now_seconds(), scan.window);
    if (scan.pinned) slot.kept |= kRatePinned;
    error = os_locked_write_at(file, slot_offset(index), reinterpret_cast<const char*>(&slot),
                               sizeof slot);
    RateSlot was = next ? scan.at_next : index == scan.first_loose ? scan.at_loose : RateSlot{};
    sum += slot_terms(index, slot) - slot_terms(index, was);
    if (next) g_rate_work.header.next_slot = (g_rate_work.header.next_slot + 1) % kRateMaxEntries;
  } else if (ask.forget && scan.last_seen >= 0) {
    RateSlot free_slot = {0, 0, 0};
    error = os_locked_write_at(file, slot_offset(scan.last_seen),
                               reinterpret_cast<const char*>(&free_slot), sizeof free_slot);
    sum += slot_terms(scan.last_seen, free_slot) - slot_terms(scan.last_seen, scan.at_last);
  }
  g_rate_work.header.checksum = rate_header_terms(g_rate_work.header) + sum;
  int header_error = os_locked_write_at(file, 0, reinterpret_cast<const char*>(&g_rate_work.header),
                                        sizeof g_rate_work.header);
  return error != 0 ? error : header_error;
}

// How much of the file a turn reads: a step that only changes the header
// (a duration noted) needs no pass over the slots.
enum class Reach { kWhole, kHeader };

// One turn at the locked file: the slots are read (and those whose time ran
// out freed), then `step` sees the header and what was found, and says what
// to change. False, with an error line, when the state could not be used.
static bool state_turn(const char* path, const StateUse& use, Reach reach, Scan* scan,
                       Step step, void* context) {
  scan->hash = 0;
  scan->full = false;
  scan->seen = 0;
  scan->last_seen = scan->first_free = scan->first_loose = -1;
  scan->at_next = scan->at_last = scan->at_loose = RateSlot{0, 0, 0};
  OsLockedFile file;
  int error = os_locked_open(path, kRateLockWaitMs, &file);
  if (error != 0 && use.unusable == nullptr) return false;
  if (error == EWOULDBLOCK) {
    log_event(LOG_ERROR, "%s state file (%s) stayed locked for over %d ms: %s.", use.setting,
              path, kRateLockWaitMs, use.unusable);
    return false;
  }
  if (error != 0) {
    char todo[256];
    advice(path, todo, sizeof todo);
    log_event(LOG_ERROR, "%s state file (%s) could not be opened (%d)(%s): %s; %s.",
              use.setting, path, error, strerror(error), use.unusable, todo);
    return false;
  }
  uint64_t sum = 0;
  bool changed = false;
  int write_error = 0;
  bool loaded = (reach == Reach::kHeader && load_header(&file, &sum)) ||
                load_state(&file, path, use, scan, &sum, &changed, &write_error);
  if (loaded) {
    StepAsk ask = step(&g_rate_work.header, *scan, context);
    int place = ask.record ? record_place(g_rate_work.header, *scan) : -1;
    scan->full = ask.record && place < 0;
    if (scan->full) {
      log_event(LOG_ERROR,
                "%s state file (%s) is full (every slot holds a record that has not "
                "expired): %s.",
                use.setting, path, use.unwritten);
    }
    if (changed || place >= 0 || ask.forget || ask.header_changed) {
      error = apply_ask(&file, *scan, ask, place, sum);
      if (write_error == 0) write_error = error;
    }
    if (write_error != 0) {
      log_event(LOG_ERROR, "%s state file (%s) could not be written (%d)(%s): %s.",
                use.setting, path, write_error, strerror(write_error), use.unwritten);
    }
  }
  os_locked_close(&file);
  return loaded && ((write_error == 0 && !scan->full) || !use.must_write);
}

struct Admission {
  int limit;
  bool admitted;
};

static StepAsk admit_step(RateHeader*, const Scan& scan, void* context) {
  Admission* admission = static_cast<Admission*>(context);
  admission->admitted = scan.seen < admission->limit;
  return StepAsk{admission->admitted, false, false};
}

bool rate_limit_allows(const Settings& settings, const char* client) {
  int limit = settings.rate_limit_count;
  if (limit <= 0 || settings.rate_limit_minutes <= 0) return true;
  if (client == nullptr || client[0] == '\0') {
    log_event(LOG_ERROR, "rate_limit: the web server gave no client address (REMOTE_ADDR): "
                         "sending without the limit.");
    return true;
  }
  char key[kRateClientSize];
  if (!rate_client_key(client, key)) {
    log_event(LOG_ERROR,
              "rate_limit: the client address {%s} (REMOTE_ADDR) is no IP address: counted "
              "under one key shared by all such values.",
              log_quote(0, client));
  }
  Scan scan = scan_for(key, strlen(key), RateKind::kClient,
                       static_cast<int64_t>(settings.rate_limit_minutes) * 60);
  Admission admission = {limit, true};
  if (!state_turn(g_program.rate_path, kRateUse, Reach::kWhole, &scan, admit_step,
                  &admission)) {
    return true;
  }
  if (!admission.admitted) {
    log_event(LOG_ERROR,
              "submission refused: client {%s} is over the rate_limit of %d submissions "
              "in %d minutes.",
              log_quote(0, client), limit, settings.rate_limit_minutes);
  }
  return admission.admitted;
}

// What a window turn does once it knows whether the key was seen.
enum class WindowAct { kLook, kRecord, kForget };

static StepAsk window_step(RateHeader*, const Scan& scan, void* context) {
  WindowAct act = *static_cast<WindowAct*>(context);
  return StepAsk{act == WindowAct::kRecord && scan.seen == 0, act == WindowAct::kForget, false};
}

static int window_turn(const char* state_path, RateWindowKind kind, const char* key,
                       size_t length, long long window_seconds, WindowAct act) {
  if (window_seconds <= 0) return 0;
  bool autoreply = kind == RateWindowKind::kAutoreply;
  Scan scan = scan_for(key, length, autoreply ? RateKind::kAutoreply : RateKind::kDuplicate,
                       static_cast<int64_t>(window_seconds));
  scan.pinned = kind == RateWindowKind::kReplay;
  const StateUse& use = autoreply      ? kAutoreplyUse
                        : scan.pinned ? kReplayUse
                                      : kDuplicateUse;
  if (!state_turn(state_path, use, Reach::kWhole, &scan, window_step, &act)) {
    return scan.full ? -2 : -1;
  }
  return scan.seen;
}

bool rate_window_seen(const char* state_path, RateWindowKind kind, const char* key,
                      size_t length, long long window_seconds, bool record) {
  return window_turn(state_path, kind, key, length, window_seconds,
                     record ? WindowAct::kRecord : WindowAct::kLook) > 0;
}

int rate_window_take(const char* state_path, RateWindowKind kind, const char* key,
                     size_t length, long long window_seconds) {
  return window_turn(state_path, kind, key, length, window_seconds, WindowAct::kRecord);
}

int rate_window_count(const char* state_path, RateWindowKind kind, const char* key,
                      size_t length, long long window_seconds) {
  return window_turn(state_path, kind, key, length, window_seconds, WindowAct::kLook);
}

void rate_window_forget(const char* state_path, RateWindowKind kind, const char* key,
                        size_t length, long long window_seconds) {
  window_turn(state_path, kind, key, length, window_seconds, WindowAct::kForget);
}

static StepAsk duration_step(RateHeader* header, const Scan&, void* context) {
  rate_note_duration(header, *static_cast<long long*>(context));
  return StepAsk{false, false, true};
}

void rate_record_sent_run(const char* state_path, long long microseconds) {
  Scan scan = scan_for(nullptr, 0, RateKind::kClient, 0);
  state_turn(state_path, kDurationUse, Reach::kHeader, &scan, duration_step, &microseconds);
}

static StepAsk median_step(RateHeader* header, const Scan&, void* context) {
  *static_cast<long long*>(context) = rate_median_duration(*header);
  return StepAsk{false, false, false};
}

long long rate_sent_run_median_ms(const char* state_path, long long fallback) {
  long long median = -1;
  Scan scan = scan_for(nullptr, 0, RateKind::kClient, 0);
  if (!state_turn(state_path, kDurationUse, Reach::kWhole, &scan, median_step, &median) ||
      median < 0) {
    return fallback;
  }
  return median / 1000;
}

bool rate_state_usable(const char* path, char* problem, size_t size) {
  char todo[256];
  advice(path, todo, sizeof todo);
  long long mtime = 0;
  int error = os_file_mtime(path, &mtime);
  if (error == 0) {
    OsLockedFile file;
    error = os_locked_open(path, kRateLockWaitMs, &file);
    if (error == 0) {
      os_locked_close(&file);
      return true;
    }
  }
  if (error == EWOULDBLOCK) {
    snprintf(problem, size, "state file %s stayed locked for over %d ms", path,
             kRateLockWaitMs);
  } else {
    snprintf(problem, size, "state file %s cannot be used (%d)(%s): %s", path, error,
             strerror(error), todo);
  }
  return false;
}
