#pragma once
// The judges' memory wherever the settings keep it: the local state file
// (guard/rate.h) or, with shared_state, the shared database
// (guard/shared_state.h). The judges and the confirmation ask here; each
// call keeps the rule its file counterpart has for a state that cannot be
// used. Errors as in guard/pipeline.h; may use guard, config and base.

#include <cstddef>

#include "config/settings.h"
#include "guard/rate.h"

// rate_limit_allows, on the settings' store.
bool state_rate_allows(const Settings& settings, const char* client);

// rate_window_take and rate_window_forget, on the settings' store.
int state_window_take(const Settings& settings, RateWindowKind kind, const char* key,
                      size_t length, long long window_seconds);
void state_window_forget(const Settings& settings, RateWindowKind kind, const char* key,
                         size_t length, long long window_seconds);

// rate_record_sent_run and rate_sent_run_median_ms, on the settings' store.
void state_note_run(const Settings& settings, long long microseconds);
long long state_median_run_ms(const Settings& settings, long long fallback);
