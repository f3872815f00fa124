// Signing a webhook request (see webhook_sign.h).
#include "deliver/webhook_sign.h"

#include <cstdio>
#include <cstring>

#include "base/base64.h"
#include "base/sha256.h"

bool webhook_secret_key(const char* line, size_t length, unsigned char* key, size_t* key_length) {
  static const char kPrefix[] = "whsec_";
  size_t prefix = sizeof kPrefix - 1;
  if (length >= prefix && memcmp(line, kPrefix, prefix) == 0) {
    line += prefix;
    length -= prefix;
  }
  char decoded[kWebhookKeySize + 3];
  size_t decoded_length = 0;
  if (length == 0 || length / 4 * 3 > kWebhookKeySize ||
      !base64_decode(line, length, decoded, &decoded_length) || decoded_length == 0) {
    memset(decoded, 0, sizeof decoded);
    return false;
  }
  memcpy(key, decoded, decoded_length);
  *key_length = decoded_length;
  memset(decoded, 0, sizeof decoded);
  return true;
}

void webhook_signature(const unsigned char* key, size_t key_length, const char* id,
                       long long timestamp, const char* body, size_t body_length,
                       char out[kWebhookSignatureSize]) {
  // HMAC(key, id "." timestamp "." body), without copying the body: the
  // inner hash runs over the parts one after the other.
  unsigned char block[64] = {};
  if (key_length > sizeof block) {
    sha256(key, key_length, block);
  } else {
    memcpy(block, key, key_length);
  }
  unsigned char pad[64];
  for (size_t i = 0; i < sizeof pad; ++i) pad[i] = block[i] ^ 0x36;
  char head[200];
  int head_length = snprintf(head, sizeof head, "%s.%lld.", id, timestamp);
  if (head_length < 0 || head_length >= static_cast<int>(sizeof head)) head_length = 0;
  Sha256 inner;
  sha256_init(&inner);
  sha256_update(&inner, pad, sizeof pad);
  sha256_update(&inner, head, static_cast<size_t>(head_length));
  sha256_update(&inner, body, body_length);
  unsigned char inner_hash[kSha256Size];
  sha256_final(&inner, inner_hash);
  for (size_t i = 0; i < sizeof pad; ++i) pad[i] = block[i] ^ 0x5c;
  Sha256 outer;
  sha256_init(&outer);
  sha256_update(&outer, pad, sizeof pad);
  sha256_update(&outer, inner_hash, sizeof inner_hash);
  unsigned char mac[kSha256Size];
  sha256_final(&outer, mac);
  memcpy(out, "v1,", 3);
  base64_encode(reinterpret_cast<const char*>(mac), sizeof mac, out + 3);
  memset(block, 0, sizeof block);
  memset(pad, 0, sizeof pad);
}
