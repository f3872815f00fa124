#pragma once
// The self-hosted proof-of-work CAPTCHA (`captcha altcha`): challenges
// signed with the site's secret, and the check of a widget's answer (the
// signature, the expiry, the work, the least time since the challenge).
// Everything comes in by parameter; it uses base/sha256.h, base/base64.h,
// base/text.h, guard/altcha_json.h and the platform's random source. It
// remembers nothing (the caller keeps the replay memory) and logs nothing;
// its reasons are safe to log (never the payload or the secret).

#include <cstddef>

#include "base/text.h"

// The widget's form field.
constexpr char kAltchaField[] = "altcha";
// A longer field is refused unread.
constexpr size_t kAltchaPayloadLimit = 4096;
// The solver tries counters from 0; the challenge's lies below this.
constexpr long kAltchaCounterRange = 100;

constexpr int kAltchaDefaultCost = 50000;
constexpr int kAltchaDefaultExpires = 600;

// The settings of the check, one member per key; the secrets from the key file.
struct AltchaOptions {
  const char* secret = nullptr;      // altcha_key_file line 1
  size_t secret_length = 0;
  const char* key_secret = nullptr;  // line 2, or derived (altcha_key_secret_derive)
  size_t key_secret_length = 0;
  bool sha_only = false;             // altcha_algorithm SHA-256
  int cost = kAltchaDefaultCost;     // altcha_cost
  int expires = kAltchaDefaultExpires;  // altcha_expires
  int min_seconds = 0;               // altcha_min_seconds
  int version = 2;                   // altcha_version
};

// The key-signature secret derived from the master secret when the key file
// has no second line: hex(HMAC-SHA-256(key "derived-secret", secret)), 64
// digits and a NUL into `out`.
void altcha_key_secret_derive(const char* secret, size_t length, char out[65]);

// Appends a fresh challenge, issued at `now` (seconds since 1970), as the
// JSON answer of the challenge request. False when the random source failed.
bool altcha_challenge(const AltchaOptions& options, long long now, TextBuffer* out);

// What a checked answer came to.
struct AltchaProof {
  bool passed = false;
  char reason[128] = {};      // why it was refused
  char id[80] = {};           // the challenge's name for the replay memory
  long long keep_seconds = 0; // how long the name must be remembered
};

// Checks the field's value at `now`; false with proof->reason when refused.
bool altcha_verify(const AltchaOptions& options, const char* payload, size_t length,
                   long long now, AltchaProof* proof);

// Derives the v2 key for `counter` into `out` (key_length bytes, at most 64):
// password = nonce bytes + counter big-endian, salt = salt bytes.
void altcha_derive(bool sha_only, const unsigned char* nonce, size_t nonce_length,
                   const unsigned char* salt, size_t salt_length, unsigned long cost,
                   unsigned long counter, unsigned char* out, size_t key_length);

// Solves `challenge` (the JSON altcha_challenge made) as a widget would and
// checks the answer at `now`: -check's proof that both halves agree. False
// with proof->reason when either failed.
bool altcha_solve_and_verify(const AltchaOptions& options, const char* challenge, long long now,
                             AltchaProof* proof);
