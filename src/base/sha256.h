#pragma once
// SHA-256 (FIPS 180-4), HMAC-SHA-256 (RFC 2104) and PBKDF2-HMAC-SHA-256
// (RFC 8018): the program's own small implementation, the same on every
// platform, for the proof-of-work CAPTCHA. Pure computation on the caller's
// memory: it touches nothing else and cannot fail.

#include <cstddef>
#include <cstdint>

constexpr size_t kSha256Size = 32;

// A running hash: sha256_init, sha256_update any number of times, sha256_final.
struct Sha256 {
  uint32_t state[8];
  uint64_t length;  // bytes hashed so far
  unsigned char block[64];
  size_t used;      // bytes waiting in `block`
};

void sha256_init(Sha256* hash);
void sha256_update(Sha256* hash, const void* data, size_t length);
void sha256_final(Sha256* hash, unsigned char out[kSha256Size]);

// The hash of `length` bytes of `data` in one call.
void sha256(const void* data, size_t length, unsigned char out[kSha256Size]);

// HMAC-SHA-256 of `length` bytes of `data` under a key of any length.
void hmac_sha256(const void* key, size_t key_length, const void* data, size_t length,
                 unsigned char out[kSha256Size]);

// PBKDF2 with HMAC-SHA-256: `out_length` bytes derived from the password and
// the salt in `iterations` rounds (at least one is made).
void pbkdf2_sha256(const void* password, size_t password_length, const void* salt,
                   size_t salt_length, unsigned long iterations, unsigned char* out,
                   size_t out_length);

// Writes `length` bytes as lower-case hex and a NUL to `out` (2 * length + 1 bytes).
void hex_lower(const unsigned char* data, size_t length, char* out);
