#include "base/sha256.h"

#include <cstring>

static const uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
    0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
    0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
    0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
    0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
    0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
    0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
    0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
    0xc67178f2};

static uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

static void compress(uint32_t state[8], const unsigned char block[64]) {
  uint32_t w[64];
  for (int i = 0; i < 16; ++i) {
    w[i] = (uint32_t(block[4 * i]) << 24) | (uint32_t(block[4 * i + 1]) << 16) |
           (uint32_t(block[4 * i + 2]) << 8) | uint32_t(block[4 * i + 3]);
  }
  for (int i = 16; i < 64; ++i) {
    uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
    uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  uint32_t v[8];
  memcpy(v, state, sizeof v);
  for (int i = 0; i < 64; ++i) {
    uint32_t s1 = rotr(v[4], 6) ^ rotr(v[4], 11) ^ rotr(v[4], 25);
    uint32_t choose = (v[4] & v[5]) ^ (~v[4] & v[6]);
    uint32_t t1 = v[7] + s1 + choose + kRound[i] + w[i];
    uint32_t s0 = rotr(v[0], 2) ^ rotr(v[0], 13) ^ rotr(v[0], 22);
    uint32_t major = (v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]);
    memmove(v + 1, v, 7 * sizeof v[0]);
    v[4] += t1;
    v[0] = t1 + s0 + major;
  }
  for (int i = 0; i < 8; ++i) state[i] += v[i];
}

void sha256_init(Sha256* hash) {
  static const uint32_t kStart[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                     0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  memcpy(hash->state, kStart, sizeof kStart);
  hash->length = 0;
  hash->used = 0;
}

void sha256_update(Sha256* hash, const void* data, size_t length) {
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  hash->length += length;
  while (length > 0) {
    size_t take = 64 - hash->used;
    if (take > length) take = length;
    memcpy(hash->block + hash->used, bytes, take);
    hash->used += take;
    bytes += take;
    length -= take;
    if (hash->used == 64) {
      compress(hash->state, hash->block);
      hash->used = 0;
    }
  }
}

void sha256_final(Sha256* hash, unsigned char out[kSha256Size]) {
  uint64_t bits = hash->length * 8;
  unsigned char pad[72] = {0x80};
  size_t pad_length = (hash->used < 56 ? 56 : 120) - hash->used;
  for (int i = 0; i < 8; ++i) {
    pad[pad_length + i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
  }
  sha256_update(hash, pad, pad_length + 8);
  for (int i = 0; i < 8; ++i) {
    out[4 * i] = static_cast<unsigned char>(hash->state[i] >> 24);
    out[4 * i + 1] = static_cast<unsigned char>(hash->state[i] >> 16);
    out[4 * i + 2] = static_cast<unsigned char>(hash->state[i] >> 8);
    out[4 * i + 3] = static_cast<unsigned char>(hash->state[i]);
  }
  memset(hash, 0, sizeof *hash);
}

void sha256(const void* data, size_t length, unsigned char out[kSha256Size]) {
  Sha256 hash;
  sha256_init(&hash);
  sha256_update(&hash, data, length);
  sha256_final(&hash, out);
}

// The keyed inner and outer hashes, ready for the message.
struct HmacKeys {
  Sha256 inner;
  Sha256 outer;
};

static void hmac_start(const void* key, size_t key_length, HmacKeys* keys) {
  unsigned char block[64] = {};
  if (key_length > 64) {
    sha256(key, key_length, block);
  } else if (key_length > 0) {
    memcpy(block, key, key_length);
  }
  unsigned char pad[64];
  for (int i = 0; i < 64; ++i) pad[i] = block[i] ^ 0x36;
  sha256_init(&keys->inner);
  sha256_update(&keys->inner, pad, 64);
  for (int i = 0; i < 64; ++i) pad[i] = block[i] ^ 0x5c;
  sha256_init(&keys->outer);
  sha256_update(&keys->outer, pad, 64);
  memset(block, 0, sizeof block);
  memset(pad, 0, sizeof pad);
}

// Finishes the HMAC of a copy of `keys` over `data`, so that the keys serve again.
static void hmac_with(const HmacKeys& keys, const void* data, size_t length,
                      unsigned char out[kSha256Size]) {
  HmacKeys run = keys;
  unsigned char inner[kSha256Size];
  sha256_update(&run.inner, data, length);
  sha256_final(&run.inner, inner);
  sha256_update(&run.outer, inner, sizeof inner);
  sha256_final(&run.outer, out);
}

void hmac_sha256(const void* key, size_t key_length, const void* data, size_t length,
                 unsigned char out[kSha256Size]) {
  HmacKeys keys;
  hmac_start(key, key_length, &keys);
  hmac_with(keys, data, length, out);
  memset(&keys, 0, sizeof keys);
}

void pbkdf2_sha256(const void* password, size_t password_length, const void* salt,
                   size_t salt_length, unsigned long iterations, unsigned char* out,
                   size_t out_length) {
  HmacKeys keys;
  hmac_start(password, password_length, &keys);
  for (uint32_t block = 1; out_length > 0; ++block) {
    unsigned char index[4] = {static_cast<unsigned char>(block >> 24),
                              static_cast<unsigned char>(block >> 16),
                              static_cast<unsigned char>(block >> 8),
                              static_cast<unsigned char>(block)};
    HmacKeys first = keys;
    sha256_update(&first.inner, salt, salt_length);
    unsigned char u[kSha256Size];
    hmac_with(first, index, sizeof index, u);
    unsigned char t[kSha256Size];
    memcpy(t, u, sizeof t);
    for (unsigned long round = 1; round < iterations; ++round) {
      hmac_with(keys, u, sizeof u, u);
      for (size_t i = 0; i < kSha256Size; ++i) t[i] ^= u[i];
    }
    size_t take = out_length < kSha256Size ? out_length : kSha256Size;
    memcpy(out, t, take);
    out += take;
    out_length -= take;
  }
  memset(&keys, 0, sizeof keys);
}

void hex_lower(const unsigned char* data, size_t length, char* out) {
  static const char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < length; ++i) {
    out[2 * i] = kDigits[data[i] >> 4];
    out[2 * i + 1] = kDigits[data[i] & 15];
  }
  out[2 * length] = '\0';
}
