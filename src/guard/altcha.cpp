#include "guard/altcha.h"

#include <cstdio>
#include <cstring>

#include "base/sha256.h"
#include "platform/os.h"

void altcha_key_secret_derive(const char* secret, size_t length, char out[65]) {
  unsigned char mac[kSha256Size];
  hmac_sha256("derived-secret", 14, secret, length, mac);
  hex_lower(mac, sizeof mac, out);
}

void altcha_derive(bool sha_only, const unsigned char* nonce, size_t nonce_length,
                   const unsigned char* salt, size_t salt_length, unsigned long cost,
                   unsigned long counter, unsigned char* out, size_t key_length) {
  unsigned char password[80];
  memcpy(password, nonce, nonce_length);
  for (int i = 0; i < 4; ++i) {
    password[nonce_length + i] = static_cast<unsigned char>(counter >> (24 - 8 * i));
  }
  size_t password_length = nonce_length + 4;
  if (!sha_only) {
    pbkdf2_sha256(password, password_length, salt, salt_length, cost, out, key_length);
    return;
  }
  unsigned char hash[kSha256Size];
  Sha256 first;
  sha256_init(&first);
  sha256_update(&first, salt, salt_length);
  sha256_update(&first, password, password_length);
  sha256_final(&first, hash);
  for (unsigned long round = 1; round < cost; ++round) sha256(hash, sizeof hash, hash);
  memcpy(out, hash, key_length < kSha256Size ? key_length : kSha256Size);
}

static void signature_of(const AltchaOptions& options, const char* text, size_t length,
                         char out[65]) {
  unsigned char mac[kSha256Size];
  hmac_sha256(options.secret, options.secret_length, text, length, mac);
  hex_lower(mac, sizeof mac, out);
}

// The v1 form: the number hidden in hex(SHA-256(salt + number)).
static bool challenge_v1(const AltchaOptions& options, long long now, TextBuffer* out) {
  unsigned char random[20];
  if (!os_random_bytes(random, sizeof random)) return false;
  char salt[128];
  char salt_hex[33];
  hex_lower(random, 16, salt_hex);
  snprintf(salt, sizeof salt, "%s?expires=%lld&issued=%lld&", salt_hex, now + options.expires, now);
  unsigned long number = ((unsigned long)random[16] << 16 | (unsigned long)random[17] << 8 |
                          random[18]) % (static_cast<unsigned long>(options.cost) + 1);
  char text[160];
  int length = snprintf(text, sizeof text, "%s%lu", salt, number);
  unsigned char hash[kSha256Size];
  sha256(text, static_cast<size_t>(length), hash);
  char challenge[65];
  hex_lower(hash, sizeof hash, challenge);
  char signature[65];
  signature_of(options, challenge, 64, signature);
  text_buffer_append(out,
                     "{\"algorithm\":\"SHA-256\",\"challenge\":\"%s\",\"maxnumber\":%d,"
                     "\"salt\":\"%s\",\"signature\":\"%s\"}",
                     challenge, options.cost, salt, signature);
  return true;
}

// The v2 parameters in canonical form (keys sorted, no spaces), the text the
// signature covers. The challenge's own counter is kept secret; its derived
// key's signature lets the check skip the work.
static bool parameters_v2(const AltchaOptions& options, long long now, TextBuffer* out) {
  unsigned char random[50];
  if (!os_random_bytes(random, sizeof random)) return false;
  const unsigned char* nonce = random;
  const unsigned char* salt = random + 16;
  char nonce_hex[33], salt_hex[33], id_hex[33];
  hex_lower(nonce, 16, nonce_hex);
  hex_lower(salt, 16, salt_hex);
  hex_lower(random + 32, 16, id_hex);
  unsigned long counter = (static_cast<unsigned long>(random[48]) << 8 | random[49]) %
                          static_cast<unsigned long>(kAltchaCounterRange);
  unsigned char key[32];
  altcha_derive(options.sha_only, nonce, 16, salt, 16, static_cast<unsigned long>(options.cost),
                counter, key, sizeof key);
  char key_hex[65];
  hex_lower(key, sizeof key, key_hex);
  unsigned char mac[kSha256Size];
  hmac_sha256(options.key_secret, options.key_secret_length, key, sizeof key, mac);
  char key_signature[65];
  hex_lower(mac, sizeof mac, key_signature);
  key_hex[16] = '\0';  // the prefix the solver looks for
  text_buffer_append(out,
                     "{\"algorithm\":\"%s\",\"cost\":%d,\"data\":{\"challengeId\":\"%s\","
                     "\"issuedAt\":%lld},\"expiresAt\":%lld,\"keyLength\":32,\"keyPrefix\":\"%s\","
                     "\"keySignature\":\"%s\",\"nonce\":\"%s\",\"salt\":\"%s\"}",
                     options.sha_only ? "SHA-256" : "PBKDF2/SHA-256", options.cost, id_hex, now,
                     now + options.expires, key_hex, key_signature, nonce_hex, salt_hex);
  return true;
}

bool altcha_challenge(const AltchaOptions& options, long long now, TextBuffer* out) {
  if (options.version == 1) return challenge_v1(options, now, out);
  TextBuffer* parameters = text_buffer_new("");
  bool made = parameters_v2(options, now, parameters);
  if (made) {
    char signature[65];
    signature_of(options, parameters->data, static_cast<size_t>(parameters->length), signature);
    text_buffer_append(out, "{\"parameters\":%s,\"signature\":\"%s\"}", parameters->data,
                       signature);
  }
  text_buffer_free(parameters);
  return made;
}
