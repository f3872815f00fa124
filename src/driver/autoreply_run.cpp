#include "driver/autoreply_run.h"

#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "base/program.h"
#include "guard/state_store.h"
#include "compose/autoreply.h"

namespace {

// The key of the window: the address in lower case (the caller frees it).
char* window_key(const char* address, size_t* length) {
  char* key = copy_text_or_die(address, kOutOfMemory);
  *length = strlen(key);
  for (size_t i = 0; i < *length; ++i) key[i] = ascii_lower(key[i]);
  return key;
}

// One confirmation per address every autoreply_window minutes, kept with
// the rate state. The window is taken now and given back by
// autoreply_settle when the confirmation went nowhere. A state that cannot
// be used sends none (rate_window_take logs why): a confirmation is an
// extra, and one that cannot be counted could be aimed at an address again
// and again.
bool autoreply_window_allows(const Settings& settings, const char* address) {
  size_t length = 0;
  char* key = window_key(address, &length);
  int seen = state_window_take(settings, RateWindowKind::kAutoreply, key, length,
                              settings.autoreply_window * 60LL);
  free(key);
  if (seen > 0) {
    log_event(LOG_ERROR,
              "autoreply: no confirmation sent: {%s} had one within the last %d minutes.",
              address, settings.autoreply_window);
  }
  return seen == 0;
}

}  // namespace

void autoreply_check_settings(const Settings& settings) {
  if (settings.autoreply_to_variable == nullptr || settings.captcha != nullptr) return;
  log_event(LOG_ERROR,
            "autoreply_to_variable is set without captcha: no confirmation is sent, as "
            "anyone could aim it at any address.");
}

SubmittedMessage submitted_message(const Envelope& envelope, const Message& message) {
  return SubmittedMessage{envelope.from,
                          envelope.to,
                          envelope.cc,
                          envelope.bcc,
                          message.header.wire->data,
                          message.body.wire->data,
                          message_shown(message.header),
                          message_shown(message.body)};
}

bool autoreply_prepare(const Settings& settings, const FormTable& form, const CaptchaStep& step,
                       const char* main_from, Envelope* envelope, Message* message,
                       SubmittedMessage* confirmation) {
  if (settings.autoreply_to_variable == nullptr || settings.captcha == nullptr) return false;
  if (!step.passed) {
    log_event(LOG_ERROR, "autoreply: no confirmation sent: the CAPTCHA was not passed.");
    return false;
  }
  if (!autoreply_assemble(settings, form, main_from, envelope, message)) return false;
  if (!autoreply_window_allows(settings, envelope->to)) return false;
  *confirmation = submitted_message(*envelope, *message);
  // It goes to the visitor alone.
  confirmation->cc = nullptr;
  confirmation->bcc = nullptr;
  return true;
}

void autoreply_settle(const Settings& settings, const SubmittedMessage& confirmation,
                      const ConfirmationResult& follow_up) {
  const char* to = confirmation.to;
  bool counted = follow_up.tried && (follow_up.outcome == DeliveryOutcome::kSent ||
                                     follow_up.outcome == DeliveryOutcome::kKeptInSpool);
  if (!counted) {
    // The visitor's retry may have the confirmation this one did not get.
    size_t length = 0;
    char* key = window_key(to, &length);
    state_window_forget(settings, RateWindowKind::kAutoreply, key, length,
                       settings.autoreply_window * 60LL);
    free(key);
  }
  if (follow_up.tried && follow_up.outcome == DeliveryOutcome::kSent) {
    log_event(LOG_DEBUG, "autoreply: confirmation sent to {%s}.", to);
  } else if (follow_up.tried && follow_up.outcome == DeliveryOutcome::kKeptInSpool) {
    log_event(LOG_ERROR, "autoreply: the confirmation to {%s} was not sent; it waits in the "
              "spool as {%s}.", to, follow_up.spool_name);
  } else if (follow_up.tried) {
    log_event(LOG_ERROR, "autoreply: the confirmation to {%s} was not sent: the server %s.",
              to, follow_up.outcome == DeliveryOutcome::kRefused ? "did not take it"
                                                                 : "could not be reached");
  } else {
    log_event(LOG_ERROR, "autoreply: the confirmation to {%s} was not sent: the message "
              "itself went nowhere.", to);
  }
}
