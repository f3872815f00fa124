#include "guard/altcha_judge.h"

#include <cstdio>
#include <cstring>

#include "base/log.h"
#include "base/program.h"
#include "guard/rate.h"
#include "guard/state_store.h"
#include "platform/os.h"

bool altcha_chosen(const Settings& settings) {
  return settings.captcha != nullptr && strcmp(settings.captcha, "altcha") == 0;
}

// The text of a line up to its CR or LF; false when it is empty or too long.
static bool take_line(const char** p, const char* end, char* out, size_t size) {
  size_t n = 0;
  while (*p < end && **p != '\r' && **p != '\n') {
    if (n + 1 >= size) return false;
    out[n++] = *(*p)++;
  }
  out[n] = '\0';
  if (*p < end && **p == '\r') ++*p;
  if (*p < end && **p == '\n') ++*p;
  return n > 0;
}

bool altcha_load(const Settings& settings, AltchaKeys* keys, AltchaOptions* options, char* error,
                 size_t error_size) {
  *keys = AltchaKeys();
  const char* path = settings.altcha_key_file;
  FILE* file = path != nullptr && path[0] != '\0' ? fopen(path, "rb") : nullptr;
  if (file == nullptr) {
    snprintf(error, error_size, "altcha_key_file {%s} cannot be opened", path ? path : "");
    return false;
  }
  char text[600];
  size_t length = fread(text, 1, sizeof text, file);
  fclose(file);
  const char* p = text;
  if (length == sizeof text || !take_line(&p, text + length, keys->secret, sizeof keys->secret)) {
    memset(text, 0, sizeof text);
    snprintf(error, error_size, "altcha_key_file {%s} holds no secret on its first line", path);
    return false;
  }
  if (!take_line(&p, text + length, keys->key_secret, sizeof keys->key_secret)) {
    altcha_key_secret_derive(keys->secret, strlen(keys->secret), keys->key_secret);
  }
  memset(text, 0, sizeof text);
  options->secret = keys->secret;
  options->secret_length = strlen(keys->secret);
  options->key_secret = keys->key_secret;
  options->key_secret_length = strlen(keys->key_secret);
  options->sha_only = settings.altcha_sha_only;
  options->cost = settings.altcha_cost;
  options->expires = settings.altcha_expires;
  options->min_seconds = settings.altcha_min_seconds;
  options->version = settings.altcha_version;
  return true;
}

static long long now_seconds() { return os_unix_time_us() / 1000000; }

bool altcha_challenge_answer(const Settings& settings, TextBuffer* out) {
  AltchaKeys keys;
  AltchaOptions options;
  char error[300];
  bool made = altcha_load(settings, &keys, &options, error, sizeof error);
  if (!made) {
    log_event(LOG_ERROR, "captcha: no altcha challenge made: {%s}.", error);
  } else if (!(made = altcha_challenge(options, now_seconds(), out))) {
    log_event(LOG_ERROR, "captcha: no altcha challenge made: {the random source failed}.");
  }
  memset(keys.secret, 0, sizeof keys.secret);
  memset(keys.key_secret, 0, sizeof keys.key_secret);
  return made;
}

// The replay memory: 1 when the challenge was used before, 0 when it is
// recorded now, -1 when the state cannot be used, -2 when it is full of
// challenges that have not expired (none is forgotten to make room).
static int replay_take(const Settings& settings, const AltchaProof& proof) {
  char key[sizeof proof.id + 16];
  int length = snprintf(key, sizeof key, "altcha challenge %s", proof.id);
  return state_window_take(settings, RateWindowKind::kReplay, key,
                           static_cast<size_t>(length), proof.keep_seconds);
}

CaptchaOutcome altcha_step(const Settings& settings, const FormTable& form) {
  AltchaKeys keys;
  AltchaOptions options;
  char error[300];
  if (!altcha_load(settings, &keys, &options, error, sizeof error)) {
    log_event(LOG_ERROR, "captcha: the check cannot run: {%s}; nothing sent.", error);
    return CaptchaOutcome::kMisconfigured;
  }
  const char* payload = form_value(form, kAltchaField);
  AltchaProof proof;
  bool passed = altcha_verify(options, payload, payload ? strlen(payload) : 0, now_seconds(),
                              &proof);
  memset(keys.secret, 0, sizeof keys.secret);
  memset(keys.key_secret, 0, sizeof keys.key_secret);
  if (!passed) {
    log_event(LOG_ERROR, "submission refused: the altcha check failed: {%s}; nothing sent.",
              proof.reason);
    return CaptchaOutcome::kRefused;
  }
  int seen = replay_take(settings, proof);
  if (seen != 0) {
    log_event(LOG_ERROR, "submission refused: the altcha check failed: {%s}; nothing sent.",
              seen > 0     ? "the challenge was used before"
              : seen == -2 ? "the replay memory in the rate state is full"
                           : "the replay memory in the rate state cannot be used");
    return seen > 0 ? CaptchaOutcome::kRefused : CaptchaOutcome::kUnreachable;
  }
  log_event(LOG_DEBUG, "captcha: altcha passed.");
  return CaptchaOutcome::kPassed;
}
