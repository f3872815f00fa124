#include "guard/state_keep.h"

#include <cstdio>
#include <cstring>

#include "base/log.h"
#include "guard/rate.h"
#include "guard/shared_state.h"
#include "guard/state_store.h"

namespace {

// The client address as the spool file may carry it; any other text
// counts, as in a run, under the one key of addresses that are no IP.
void keep_client(const char* remote_addr, char* out, size_t size) {
  size_t length = strlen(remote_addr);
  bool plain = length > 0 && length < size &&
               strspn(remote_addr, "0123456789abcdefABCDEF.:") == length;
  snprintf(out, size, "%s", plain ? remote_addr : "invalid");
}

}  // namespace

bool state_keep_pending(const GuardInput& input, GuardRun* run) {
  const Settings& settings = *input.settings;
  if (!shared_state_on(settings) || !settings.shared_state_unreachable_keep ||
      !shared_state_unavailable() || settings.spool_folder == nullptr) {
    return false;
  }
  run->state_client[0] = '\0';
  const char* client = input.request->remote_addr;
  bool rating = settings.rate_limit_count > 0 && settings.rate_limit_minutes > 0;
  if (rating && !run->rate_counted && client != nullptr && client[0] != '\0') {
    keep_client(client, run->state_client, sizeof run->state_client);
  }
  run->state_duplicate[0] = '\0';
  const TextBuffer* key = run->duplicate.key;
  if (key != nullptr && !run->duplicate.recorded) {
    rate_bytes_digest(key->data, static_cast<size_t>(key->length), run->state_duplicate);
  }
  return true;
}

Verdict state_keep_judge(const GuardInput& input, GuardRun* run) {
  const Settings& settings = *input.settings;
  Verdict pass = {VerdictKind::kPass, Outcome::kSent, nullptr};
  if (!state_keep_pending(input, run)) {
    if (shared_state_on(settings) && settings.shared_state_unreachable_keep &&
        shared_state_unavailable()) {
      log_event(LOG_ERROR, "shared_state_unreachable keep: no spool_folder to keep the "
                "message in; it is sent unjudged, as with send.");
    }
    return pass;
  }
  log_event(LOG_ERROR, "shared_state: the message waits in the spool for -resend to judge it "
            "(shared_state_unreachable keep).");
  Verdict verdict = {VerdictKind::kDeferred, Outcome::kSpooled,
                     "kept in the spool for -resend to judge"};
  verdict.mark = "shared_state";
  return verdict;
}

int state_keep_rejudge(const Settings& settings, const char* client, const char* duplicate,
                       char* detail, size_t detail_size) {
  if (!shared_state_on(settings)) {
    snprintf(detail, detail_size, "shared_state is not set");
    return -1;
  }
  // In a run's order: the duplicate window, then the rate limit.
  long long window = settings.duplicate_window_minutes * 60LL;
  bool windowed = window > 0 && duplicate != nullptr && duplicate[0] != '\0';
  int seen = windowed ? shared_window_take_digest(settings, RateWindowKind::kDuplicate,
                                                  duplicate, window)
                      : 0;
  bool rating = settings.rate_limit_count > 0 && settings.rate_limit_minutes > 0;
  bool allowed = seen != 0 || !rating || client == nullptr || state_rate_allows(settings, client);
  if (shared_state_unavailable()) {
    snprintf(detail, detail_size, "the shared state cannot be used");
    return -1;
  }
  if (seen > 0) {
    log_event(LOG_ERROR, "resend: the same post was sent within the duplicate_window of %d "
              "minutes; not sent again.", settings.duplicate_window_minutes);
    snprintf(detail, detail_size, "duplicate");
    return 0;
  }
  if (!allowed) {
    // Not sent: the window forgets it, as after a run that sent nothing.
    if (windowed) shared_window_forget_digest(settings, RateWindowKind::kDuplicate, duplicate);
    snprintf(detail, detail_size, "rate-limited");
    return 0;
  }
  return 1;
}
