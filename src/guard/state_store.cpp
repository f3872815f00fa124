#include "guard/state_store.h"

#include "base/log.h"
#include "base/program.h"
#include "guard/shared_state.h"

bool state_rate_allows(const Settings& settings, const char* client) {
  int limit = settings.rate_limit_count;
  if (!shared_state_on(settings) || limit <= 0 || settings.rate_limit_minutes <= 0 ||
      client == nullptr || client[0] == '\0') {
    // The file's check also words a missing client address.
    return rate_limit_allows(settings, client);
  }
  char key[kRateClientSize];
  if (!rate_client_key(client, key)) {
    log_event(LOG_ERROR,
              "rate_limit: the client address {%s} (REMOTE_ADDR) is no IP address: counted "
              "under one key shared by all such values.",
              log_quote(0, client));
  }
  int admitted =
      shared_rate_admit(settings, key, limit, settings.rate_limit_minutes * 60LL);
  if (admitted != 0) return true;  // a state that cannot be used lets the post through
  log_event(LOG_ERROR,
            "submission refused: client {%s} is over the rate_limit of %d submissions "
            "in %d minutes.",
            log_quote(0, client), limit, settings.rate_limit_minutes);
  return false;
}

int state_window_take(const Settings& settings, RateWindowKind kind, const char* key,
                      size_t length, long long window_seconds) {
  if (!shared_state_on(settings)) {
    return rate_window_take(g_program.rate_path, kind, key, length, window_seconds);
  }
  return shared_window_take(settings, kind, key, length, window_seconds);
}

void state_window_forget(const Settings& settings, RateWindowKind kind, const char* key,
                         size_t length, long long window_seconds) {
  if (!shared_state_on(settings)) {
    rate_window_forget(g_program.rate_path, kind, key, length, window_seconds);
    return;
  }
  shared_window_forget(settings, kind, key, length);
}

void state_note_run(const Settings& settings, long long microseconds) {
  if (!shared_state_on(settings)) {
    rate_record_sent_run(g_program.rate_path, microseconds);
    return;
  }
  shared_note_run(settings, microseconds);
}

long long state_median_run_ms(const Settings& settings, long long fallback) {
  if (!shared_state_on(settings)) return rate_sent_run_median_ms(g_program.rate_path, fallback);
  long long median = shared_median_run_us(settings);
  return median < 0 ? fallback : median / 1000;
}
