// The check of a widget's answer (guard/altcha.h).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/base64.h"
#include "base/sha256.h"
#include "guard/altcha.h"
#include "guard/altcha_json.h"

namespace {

bool refuse(AltchaProof* proof, const char* reason) {
  snprintf(proof->reason, sizeof proof->reason, "%s", reason);
  proof->passed = false;
  return false;
}

// Compares without stopping at the first difference.
bool same_text(const char* a, size_t a_length, const char* b, size_t b_length) {
  if (a_length != b_length) return false;
  unsigned char differ = 0;
  for (size_t i = 0; i < a_length; ++i) differ |= static_cast<unsigned char>(a[i] ^ b[i]);
  return differ == 0;
}

const AltchaNode* node_of(const AltchaTree& tree, int at, const char* name, AltchaKind kind) {
  int child = altcha_member(tree, at, name);
  if (child < 0 || tree.nodes[child].kind != kind) return nullptr;
  return &tree.nodes[child];
}

// A whole number from 0 to `most`, or -1.
long long whole_number(const AltchaNode* node, long long most) {
  if (node == nullptr || node->length == 0 || node->length > 15) return -1;
  for (size_t i = 0; i < node->length; ++i) {
    if (node->text[i] < '0' || node->text[i] > '9') return -1;
  }
  long long value = atoll(node->text);
  return value <= most ? value : -1;
}

// Lower-case hex of even length into bytes; false for anything else.
bool hex_bytes(const AltchaNode* node, unsigned char* out, size_t room, size_t* length) {
  if (node == nullptr || node->length % 2 != 0 || node->length / 2 > room) return false;
  for (size_t i = 0; i < node->length; ++i) {
    char c = node->text[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  for (size_t i = 0; i < node->length / 2; ++i) {
    char pair[3] = {node->text[2 * i], node->text[2 * i + 1], '\0'};
    out[i] = static_cast<unsigned char>(strtoul(pair, nullptr, 16));
  }
  *length = node->length / 2;
  return true;
}

bool signed_by(const AltchaOptions& options, const char* text, size_t length,
               const AltchaNode* signature) {
  unsigned char mac[kSha256Size];
  hmac_sha256(options.secret, options.secret_length, text, length, mac);
  char hex[65];
  hex_lower(mac, sizeof mac, hex);
  return signature != nullptr && same_text(hex, 64, signature->text, signature->length);
}

bool in_time(const AltchaOptions& options, long long issued, long long expires, long long now,
             AltchaProof* proof) {
  if (expires < 0) return refuse(proof, "the challenge has no expiry");
  if (now > expires) return refuse(proof, "the challenge has expired");
  if (options.min_seconds > 0 && (issued < 0 || now - issued < options.min_seconds)) {
    return refuse(proof, "the form was sent too soon after the challenge");
  }
  proof->keep_seconds = expires - now + 1;
  return true;
}

// The work of a v2 answer: the key signature when the challenge carries
// one, else the key derived anew.
bool work_done(const AltchaOptions& options, const AltchaTree& tree, int parameters,
               int solution, AltchaProof* proof) {
  unsigned char key[64], nonce[64], salt[64];
  size_t key_length, nonce_length, salt_length;
  if (!hex_bytes(node_of(tree, solution, "derivedKey", AltchaKind::kString), key, sizeof key,
                 &key_length)) {
    return refuse(proof, "the derived key is not hex");
  }
  const AltchaNode* key_signature = node_of(tree, parameters, "keySignature", AltchaKind::kString);
  if (key_signature != nullptr) {
    unsigned char mac[kSha256Size];
    hmac_sha256(options.key_secret, options.key_secret_length, key, key_length, mac);
    char hex[65];
    hex_lower(mac, sizeof mac, hex);
    if (same_text(hex, 64, key_signature->text, key_signature->length)) return true;
    return refuse(proof, "the derived key is not the challenge's");
  }
  const AltchaNode* algorithm = node_of(tree, parameters, "algorithm", AltchaKind::kString);
  long long cost = whole_number(node_of(tree, parameters, "cost", AltchaKind::kNumber), 10000000);
  long long wanted = whole_number(node_of(tree, parameters, "keyLength", AltchaKind::kNumber), 64);
  long long counter = whole_number(node_of(tree, solution, "counter", AltchaKind::kNumber),
                                   0xffffffffLL);
  const AltchaNode* prefix = node_of(tree, parameters, "keyPrefix", AltchaKind::kString);
  bool sha_only = strcmp(algorithm->text, "SHA-256") == 0;
  if (cost < 1 || wanted < 1 || (sha_only && wanted > 32) || counter < 0 || prefix == nullptr ||
      !hex_bytes(node_of(tree, parameters, "nonce", AltchaKind::kString), nonce, 60,
                 &nonce_length) ||
      !hex_bytes(node_of(tree, parameters, "salt", AltchaKind::kString), salt, sizeof salt,
                 &salt_length)) {
    return refuse(proof, "the challenge's parameters are incomplete");
  }
  unsigned char derived[64];
  altcha_derive(sha_only, nonce, nonce_length, salt, salt_length,
                static_cast<unsigned long>(cost), static_cast<unsigned long>(counter), derived,
                static_cast<size_t>(wanted));
  char hex[129];
  hex_lower(derived, static_cast<size_t>(wanted), hex);
  if (static_cast<size_t>(wanted) != key_length || memcmp(derived, key, key_length) != 0 ||
      prefix->length > 128 || strncmp(hex, prefix->text, prefix->length) != 0) {
    return refuse(proof, "the work does not solve the challenge");
  }
  return true;
}

}  // namespace

namespace {

bool verify_v2(const AltchaOptions& options, const AltchaTree& tree, long long now,
               AltchaProof* proof) {
  int challenge = altcha_member(tree, 0, "challenge");
  int parameters = altcha_member(tree, challenge, "parameters");
  int solution = altcha_member(tree, 0, "solution");
  if (parameters < 0 || tree.nodes[parameters].kind != AltchaKind::kObject || solution < 0 ||
      tree.nodes[solution].kind != AltchaKind::kObject) {
    return refuse(proof, "the answer has no challenge parameters or no solution");
  }
  TextBuffer* canonical = text_buffer_new("");
  altcha_write_sorted(tree, parameters, canonical);
  bool signed_here = signed_by(options, canonical->data, static_cast<size_t>(canonical->length),
                               node_of(tree, challenge, "signature", AltchaKind::kString));
  text_buffer_free(canonical);
  if (!signed_here) return refuse(proof, "the challenge's signature is wrong");
  const AltchaNode* algorithm = node_of(tree, parameters, "algorithm", AltchaKind::kString);
  if (algorithm == nullptr ||
      (strcmp(algorithm->text, "PBKDF2/SHA-256") != 0 && strcmp(algorithm->text, "SHA-256") != 0)) {
    return refuse(proof, "the challenge's algorithm is not PBKDF2/SHA-256 or SHA-256");
  }
  int data = altcha_member(tree, parameters, "data");
  long long issued = whole_number(node_of(tree, data, "issuedAt", AltchaKind::kNumber), 1LL << 40);
  long long expires =
      whole_number(node_of(tree, parameters, "expiresAt", AltchaKind::kNumber), 1LL << 40);
  if (!in_time(options, issued, expires, now, proof)) return false;
  if (!work_done(options, tree, parameters, solution, proof)) return false;
  const AltchaNode* id = node_of(tree, data, "challengeId", AltchaKind::kString);
  if (id == nullptr) id = node_of(tree, parameters, "nonce", AltchaKind::kString);
  if (id == nullptr || id->length == 0 || id->length >= sizeof proof->id - 4) {
    return refuse(proof, "the challenge has no usable name");
  }
  snprintf(proof->id, sizeof proof->id, "v2 %s", id->text);
  return true;
}

// A number from the v1 salt's "?name=value&" part, or -1.
long long salt_number(const AltchaNode* salt, const char* name) {
  const char* query = strchr(salt->text, '?');
  if (query == nullptr) return -1;
  size_t n = strlen(name);
  for (const char* p = query + 1; *p != '\0'; p = strchr(p, '&') ? strchr(p, '&') + 1 : "") {
    if (strncmp(p, name, n) == 0 && p[n] == '=') {
      AltchaNode value;
      value.text = p + n + 1;
      value.length = strcspn(value.text, "&");
      char digits[16];
      if (value.length >= sizeof digits) return -1;
      memcpy(digits, value.text, value.length);
      digits[value.length] = '\0';
      value.text = digits;
      return whole_number(&value, 1LL << 40);
    }
  }
  return -1;
}

bool verify_v1(const AltchaOptions& options, const AltchaTree& tree, long long now,
               AltchaProof* proof) {
  const AltchaNode* challenge = node_of(tree, 0, "challenge", AltchaKind::kString);
  const AltchaNode* salt = node_of(tree, 0, "salt", AltchaKind::kString);
  const AltchaNode* algorithm = node_of(tree, 0, "algorithm", AltchaKind::kString);
  long long number = whole_number(node_of(tree, 0, "number", AltchaKind::kNumber), 1LL << 40);
  if (salt == nullptr || number < 0 || salt->length > 200 || challenge->length != 64) {
    return refuse(proof, "the answer lacks its salt, number or challenge");
  }
  if (!signed_by(options, challenge->text, challenge->length,
                 node_of(tree, 0, "signature", AltchaKind::kString))) {
    return refuse(proof, "the challenge's signature is wrong");
  }
  if (algorithm == nullptr || strcmp(algorithm->text, "SHA-256") != 0) {
    return refuse(proof, "the challenge's algorithm is not SHA-256");
  }
  char text[240];
  int length = snprintf(text, sizeof text, "%s%lld", salt->text, number);
  unsigned char hash[kSha256Size];
  sha256(text, static_cast<size_t>(length), hash);
  char hex[65];
  hex_lower(hash, sizeof hash, hex);
  if (!same_text(hex, 64, challenge->text, challenge->length)) {
    return refuse(proof, "the work does not solve the challenge");
  }
  if (!in_time(options, salt_number(salt, "issued"), salt_number(salt, "expires"), now, proof)) {
    return false;
  }
  snprintf(proof->id, sizeof proof->id, "v1 %s", challenge->text);
  return true;
}

bool verify_tree(const AltchaOptions& options, const AltchaTree& tree, long long now,
                 AltchaProof* proof) {
  if (tree.nodes[0].kind != AltchaKind::kObject) return refuse(proof, "the answer is no object");
  const AltchaNode* test = node_of(tree, 0, "test", AltchaKind::kBool);
  if (test != nullptr && strcmp(test->text, "true") == 0) {
    return refuse(proof, "the widget is in test mode");
  }
  int challenge = altcha_member(tree, 0, "challenge");
  if (challenge >= 0 && tree.nodes[challenge].kind == AltchaKind::kString) {
    return verify_v1(options, tree, now, proof);
  }
  return verify_v2(options, tree, now, proof);
}

}  // namespace

bool altcha_verify(const AltchaOptions& options, const char* payload, size_t length,
                   long long now, AltchaProof* proof) {
  *proof = AltchaProof();
  if (payload == nullptr || length == 0) return refuse(proof, "no proof of work in the form");
  if (length > kAltchaPayloadLimit) return refuse(proof, "the proof of work is too long");
  char json[kAltchaPayloadLimit];
  size_t json_length = 0;
  if (!base64_decode(payload, length, json, &json_length)) {
    return refuse(proof, "the proof of work is not base64");
  }
  AltchaTree* tree = static_cast<AltchaTree*>(calloc(1, sizeof(AltchaTree)));
  if (tree == nullptr) return refuse(proof, "out of memory");
  bool passed = altcha_tree_read(json, json_length, tree)
                    ? verify_tree(options, *tree, now, proof)
                    : refuse(proof, "the proof of work is not JSON");
  altcha_tree_free(tree);
  free(tree);
  proof->passed = passed;
  return passed;
}
