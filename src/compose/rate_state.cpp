// The runs' side of rate.h: one turn at the locked state file, and the
// checks and records the run makes with it.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/log.h"
#include "base/program.h"
#include "compose/rate.h"
#include "config/settings.h"
#include "platform/net.h"
#include "platform/os.h"

// Who uses the state in a turn: named in its error lines, with what a
// failure costs.
struct StateUse {
  const char* setting;
  const char* unusable;    // when the file cannot be opened or locked; null:
                           // not logged (the run's check said so already)
  const char* unwritten;   // when the changed state cannot be written
};
static const StateUse kRateUse = {"rate_limit", "sending without the limit",
                                  "this submission is not counted"};
static const StateUse kDuplicateUse = {"duplicate_window", "sending without the duplicate check",
                                       "this post is not remembered"};
static const StateUse kAutoreplyUse = {"autoreply_window", "the window is not kept",
                                       "this confirmation is not remembered"};
static const StateUse kDurationUse = {"rate", nullptr, "the run's duration is not kept"};

// The image and a few bytes more, so that a longer file reads as no whole
// state. Static: one turn at a time, and no allocation under the lock.
struct StateWork {
  RateImage image;
  char beyond[8];
};
static StateWork g_work;

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

// Reads the file into g_work.image; an empty, damaged or older one is
// started afresh (the latter two logged), and then *fresh is set.
static bool load_image(OsLockedFile* file, const char* path, const StateUse& use, bool* fresh) {
  long length = os_locked_read(file, reinterpret_cast<char*>(&g_work), sizeof g_work);
  *fresh = false;
  if (length < 0) {
    int error = static_cast<int>(-length);
    log_event(LOG_ERROR, "%s state file (%s) could not be read (%d)(%s): %s.", use.setting,
              path, error, strerror(error),
              use.unusable != nullptr ? use.unusable : use.unwritten);
    return false;
  }
  if (rate_image_valid(g_work.image, static_cast<size_t>(length))) return true;
  if (length >= 8 && memcmp(g_work.image.magic, "QLRATE1\n", 8) == 0) {
    log_event(LOG_ERROR,
              "%s state file (%s) is of the older format: starting it afresh.", use.setting,
              path);
  } else if (length != 0) {
    log_event(LOG_ERROR,
              "%s state file (%s) is damaged (%ld bytes that are no whole state): starting it "
              "afresh.",
              use.setting, path, length);
  }
  rate_start_afresh(&g_work.image);
  *fresh = true;
  return true;
}

// One turn at the locked file: `step` sees the image and returns whether
// it changed it; a change (or a file started afresh) is written back.
// False, with an error line, when the state could not be read.
static bool state_turn(const char* path, const StateUse& use,
                       bool (*step)(RateImage* image, void* context), void* context) {
  memset(&g_work, 0, sizeof g_work);  // its pages in place before the lock
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
  bool fresh = false;
  bool loaded = load_image(&file, path, use, &fresh);
  if (loaded && (step(&g_work.image, context) || fresh)) {
    rate_seal(&g_work.image);
    error = os_locked_rewrite(&file, reinterpret_cast<const char*>(&g_work.image),
                              kRateFileSize);
    if (error != 0) {
      log_event(LOG_ERROR, "%s state file (%s) could not be written (%d)(%s): %s.",
                use.setting, path, error, strerror(error), use.unwritten);
    }
  }
  os_locked_close(&file);
  return loaded;
}

static int64_t now_seconds() { return static_cast<int64_t>(time(nullptr)); }

bool rate_client_key(const char* remote_addr, char* out) {
  unsigned char a[16];
  if (!net_parse_address(remote_addr, a)) {
    snprintf(out, kRateClientSize, "invalid");
    return false;
  }
  static const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (memcmp(a, kMapped, sizeof kMapped) == 0) {
    snprintf(out, kRateClientSize, "%u.%u.%u.%u", a[12], a[13], a[14], a[15]);
  } else {
    // One client of IPv6 commonly holds a whole /64.
    snprintf(out, kRateClientSize, "%x:%x:%x:%x::/64", a[0] << 8 | a[1], a[2] << 8 | a[3],
             a[4] << 8 | a[5], a[6] << 8 | a[7]);
  }
  return true;
}

struct Admission {
  const char* client;
  int limit;
  int64_t window;
  bool admitted;
};

static bool admit_step(RateImage* image, void* context) {
  Admission* admission = static_cast<Admission*>(context);
  uint64_t hash = rate_hash(*image, RateKind::kClient, admission->client,
                            strlen(admission->client));
  admission->admitted = rate_admit(image, hash, now_seconds(), admission->limit,
                                   admission->window);
  return admission->admitted;
}

bool rate_limit_allows(const Settings& settings) {
  int limit = settings.rate_limit_count;
  if (limit <= 0 || settings.rate_limit_minutes <= 0) return true;
  const char* client = getenv("REMOTE_ADDR");
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
  Admission admission = {key, limit, static_cast<int64_t>(settings.rate_limit_minutes) * 60,
                         true};
  if (!state_turn(g_program.rate_path, kRateUse, admit_step, &admission)) return true;
  if (!admission.admitted) {
    log_event(LOG_ERROR,
              "submission refused: client {%s} is over the rate_limit of %d submissions "
              "in %d minutes.",
              log_quote(0, client), limit, settings.rate_limit_minutes);
  }
  return admission.admitted;
}

struct WindowTurn {
  RateKind kind;
  const char* key;
  size_t length;
  int64_t window;
  bool record;
  bool forget;
  bool seen;
};

static bool window_step(RateImage* image, void* context) {
  WindowTurn* turn = static_cast<WindowTurn*>(context);
  uint64_t hash = rate_hash(*image, turn->kind, turn->key, turn->length);
  int64_t now = now_seconds();
  turn->seen = rate_count(image, hash, now, turn->window) > 0;
  if (turn->forget) return rate_forget(image, hash);
  if (turn->seen || !turn->record) return false;
  rate_record(image, hash, now, turn->window);
  return true;
}

static bool window_turn(const char* state_path, RateWindowKind kind, WindowTurn* turn) {
  bool duplicate = kind == RateWindowKind::kDuplicate;
  turn->kind = duplicate ? RateKind::kDuplicate : RateKind::kAutoreply;
  if (turn->window <= 0) return false;
  return state_turn(state_path, duplicate ? kDuplicateUse : kAutoreplyUse, window_step, turn);
}

bool rate_window_seen(const char* state_path, RateWindowKind kind, const char* key,
                      size_t length, long long window_seconds, bool record) {
  WindowTurn turn = {RateKind::kClient, key, length, window_seconds, record, false, false};
  return window_turn(state_path, kind, &turn) && turn.seen;
}

void rate_window_forget(const char* state_path, RateWindowKind kind, const char* key,
                        size_t length, long long window_seconds) {
  WindowTurn turn = {RateKind::kClient, key, length, window_seconds, false, true, false};
  window_turn(state_path, kind, &turn);
}

bool rate_state_in_use(const Settings& settings) {
  return (settings.rate_limit_count > 0 && settings.rate_limit_minutes > 0) ||
         settings.duplicate_window_minutes > 0;
}

static bool duration_step(RateImage* image, void* context) {
  rate_note_duration(image, *static_cast<long long*>(context));
  return true;
}

void rate_record_sent_run(const char* state_path, long long microseconds) {
  state_turn(state_path, kDurationUse, duration_step, &microseconds);
}

static bool median_step(RateImage* image, void* context) {
  *static_cast<long long*>(context) = rate_median_duration(*image);
  return false;
}

long long rate_sent_run_median_ms(const char* state_path, long long fallback) {
  long long median = -1;
  if (!state_turn(state_path, kDurationUse, median_step, &median) || median < 0) {
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
