// A widget's side of the proof of work, for -check (guard/altcha.h).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/base64.h"
#include "base/sha256.h"
#include "guard/altcha.h"
#include "guard/altcha_json.h"

static size_t hex_decode(const char* hex, unsigned char* out, size_t room) {
  size_t n = 0;
  for (; hex[2 * n] != '\0' && hex[2 * n + 1] != '\0' && n < room; ++n) {
    char pair[3] = {hex[2 * n], hex[2 * n + 1], '\0'};
    out[n] = static_cast<unsigned char>(strtoul(pair, nullptr, 16));
  }
  return n;
}

// The counter whose key has the prefix, appended as the answer's solution.
static bool solve_v2(const AltchaTree& tree, TextBuffer* answer) {
  int parameters = altcha_member(tree, 0, "parameters");
  int nonce_at = altcha_member(tree, parameters, "nonce");
  int salt_at = altcha_member(tree, parameters, "salt");
  int prefix_at = altcha_member(tree, parameters, "keyPrefix");
  int cost_at = altcha_member(tree, parameters, "cost");
  int algorithm_at = altcha_member(tree, parameters, "algorithm");
  if (nonce_at < 0 || salt_at < 0 || prefix_at < 0 || cost_at < 0 || algorithm_at < 0) {
    return false;
  }
  unsigned char nonce[32], salt[32];
  size_t nonce_length = hex_decode(tree.nodes[nonce_at].text, nonce, sizeof nonce);
  size_t salt_length = hex_decode(tree.nodes[salt_at].text, salt, sizeof salt);
  bool sha_only = strcmp(tree.nodes[algorithm_at].text, "SHA-256") == 0;
  unsigned long cost = strtoul(tree.nodes[cost_at].text, nullptr, 10);
  const char* prefix = tree.nodes[prefix_at].text;
  for (unsigned long counter = 0; counter < 1000000; ++counter) {
    unsigned char key[32];
    altcha_derive(sha_only, nonce, nonce_length, salt, salt_length, cost, counter, key,
                  sizeof key);
    char hex[65];
    hex_lower(key, sizeof key, hex);
    if (strncmp(hex, prefix, strlen(prefix)) != 0) continue;
    text_buffer_append(answer, "\"solution\":{\"counter\":%lu,\"derivedKey\":\"%s\"}}", counter,
                       hex);
    return true;
  }
  return false;
}

bool altcha_solve_and_verify(const AltchaOptions& options, const char* challenge, long long now,
                             AltchaProof* proof) {
  *proof = AltchaProof();
  AltchaTree* tree = static_cast<AltchaTree*>(calloc(1, sizeof(AltchaTree)));
  if (tree == nullptr) return false;
  TextBuffer* answer = text_buffer_new("");
  bool solved = false;
  if (altcha_tree_read(challenge, strlen(challenge), tree) && options.version != 1) {
    text_buffer_append(answer, "{\"challenge\":%s,", challenge);
    solved = solve_v2(*tree, answer);
  } else if (options.version == 1) {
    int maxnumber = altcha_member(*tree, 0, "maxnumber");
    int salt = altcha_member(*tree, 0, "salt");
    int hash = altcha_member(*tree, 0, "challenge");
    long most = maxnumber >= 0 ? atol(tree->nodes[maxnumber].text) : -1;
    for (long number = 0; number <= most && !solved && salt >= 0 && hash >= 0; ++number) {
      char text[240];
      int length = snprintf(text, sizeof text, "%s%ld", tree->nodes[salt].text, number);
      unsigned char digest[kSha256Size];
      sha256(text, static_cast<size_t>(length), digest);
      char hex[65];
      hex_lower(digest, sizeof digest, hex);
      if (strcmp(hex, tree->nodes[hash].text) != 0) continue;
      text_buffer_append(answer, "%.*s,\"number\":%ld}", static_cast<int>(strlen(challenge) - 1),
                         challenge, number);
      solved = true;
    }
  }
  altcha_tree_free(tree);
  free(tree);
  bool passed = false;
  if (!solved) {
    snprintf(proof->reason, sizeof proof->reason, "no answer solves the challenge");
  } else {
    char* payload = base64_encode_copy(answer->data, static_cast<size_t>(answer->length));
    passed = altcha_verify(options, payload, strlen(payload), now, proof);
    free(payload);
  }
  text_buffer_free(answer);
  return passed;
}
