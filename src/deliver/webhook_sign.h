#pragma once
// The signature of a webhook request, as the Standard Webhooks libraries
// check it: "v1," and the base64 HMAC-SHA-256 of "id.timestamp.body"
// under the secret that follows "whsec_" in base64. Pure functions; part
// of the delivery layer (deliver/webhook.h).

#include <cstddef>

// Room for a decoded secret (the libraries make 24 to 64 bytes).
constexpr size_t kWebhookKeySize = 256;
// Room for "v1," and a base64 HMAC-SHA-256, with the NUL.
constexpr size_t kWebhookSignatureSize = 64;

// The key of a secret line "whsec_<base64>" (the prefix may be left out).
// False for anything else (nothing in `key` is kept then).
bool webhook_secret_key(const char* line, size_t length, unsigned char* key, size_t* key_length);

// "v1,<base64>" for the message `id`.`timestamp`.`body` into `out`.
void webhook_signature(const unsigned char* key, size_t key_length, const char* id,
                       long long timestamp, const char* body, size_t body_length,
                       char out[kWebhookSignatureSize]);
