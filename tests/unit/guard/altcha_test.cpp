#include "guard/altcha.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "base/base64.h"
#include "base/sha256.h"
#include "guard/altcha_json.h"

namespace {

const long long kNow = 1800000000;

AltchaOptions options(int version = 2) {
  AltchaOptions o;
  o.secret = "site secret";
  o.secret_length = strlen(o.secret);
  o.key_secret = "key secret";
  o.key_secret_length = strlen(o.key_secret);
  o.cost = 20;
  o.version = version;
  return o;
}

std::string encode(const std::string& json) {
  char* text = base64_encode_copy(json.data(), json.size());
  std::string out = text;
  free(text);
  return out;
}

std::string hex_of(const std::string& hex_text, std::string* bytes) {
  bytes->clear();
  for (size_t i = 0; i + 1 < hex_text.size(); i += 2) {
    bytes->push_back(static_cast<char>(strtoul(hex_text.substr(i, 2).c_str(), nullptr, 16)));
  }
  return hex_text;
}

// A widget's answer to `challenge`: the first counter whose key has the prefix.
std::string solve(const std::string& challenge, bool keep_key_signature = true) {
  AltchaTree tree;
  EXPECT_TRUE(altcha_tree_read(challenge.data(), challenge.size(), &tree));
  int parameters = altcha_member(tree, 0, "parameters");
  std::string nonce, salt;
  hex_of(tree.nodes[altcha_member(tree, parameters, "nonce")].text, &nonce);
  hex_of(tree.nodes[altcha_member(tree, parameters, "salt")].text, &salt);
  std::string prefix = tree.nodes[altcha_member(tree, parameters, "keyPrefix")].text;
  bool sha_only = strcmp(tree.nodes[altcha_member(tree, parameters, "algorithm")].text,
                         "SHA-256") == 0;
  long cost = atol(tree.nodes[altcha_member(tree, parameters, "cost")].text);
  std::string parameters_json = challenge.substr(14, challenge.find(",\"signature\"") - 14);
  std::string signature = tree.nodes[altcha_member(tree, 0, "signature")].text;
  altcha_tree_free(&tree);
  if (!keep_key_signature) {
    size_t at = parameters_json.find(",\"keySignature\"");
    parameters_json.erase(at, 17 + 64 + 1);
    unsigned char mac[kSha256Size];
    hmac_sha256("site secret", 11, parameters_json.data(), parameters_json.size(), mac);
    char hex[65];
    hex_lower(mac, sizeof mac, hex);
    signature = hex;
  }
  for (unsigned long counter = 0; counter < 1000; ++counter) {
    unsigned char key[32];
    altcha_derive(sha_only, reinterpret_cast<const unsigned char*>(nonce.data()), nonce.size(),
                  reinterpret_cast<const unsigned char*>(salt.data()), salt.size(),
                  static_cast<unsigned long>(cost), counter, key, sizeof key);
    char hex[65];
    hex_lower(key, sizeof key, hex);
    if (strncmp(hex, prefix.c_str(), prefix.size()) != 0) continue;
    return "{\"challenge\":{\"parameters\":" + parameters_json + ",\"signature\":\"" + signature +
           "\"},\"solution\":{\"counter\":" + std::to_string(counter) + ",\"derivedKey\":\"" +
           hex + "\",\"time\":12}}";
  }
  ADD_FAILURE() << "no counter solves " << challenge;
  return "";
}

std::string challenge(const AltchaOptions& o, long long issued = kNow) {
  TextBuffer* out = text_buffer_new("");
  EXPECT_TRUE(altcha_challenge(o, issued, out));
  std::string text = out->data;
  text_buffer_free(out);
  return text;
}

bool verify(const AltchaOptions& o, const std::string& json, long long now, AltchaProof* proof) {
  std::string payload = encode(json);
  return altcha_verify(o, payload.data(), payload.size(), now, proof);
}

TEST(Altcha, SortedJsonIsWhatTheSignatureCovers) {
  const char* text = "{ \"b\": {\"z\":1, \"a\":\"x\\n\\u00e9\"}, \"a\": [true,null] }";
  AltchaTree tree;
  ASSERT_TRUE(altcha_tree_read(text, strlen(text), &tree));
  TextBuffer* out = text_buffer_new("");
  altcha_write_sorted(tree, 0, out);
  EXPECT_STREQ(out->data, "{\"a\":[true,null],\"b\":{\"a\":\"x\\n\xc3\xa9\",\"z\":1}}");
  text_buffer_free(out);
  altcha_tree_free(&tree);
  for (const char* bad : {"{\"a\":}", "{\"a\":1", "{\"a\":\"\\ud800\"}", "[1]x"}) {
    ASSERT_FALSE(altcha_tree_read(bad, strlen(bad), &tree)) << bad;
    altcha_tree_free(&tree);
  }
}

TEST(Altcha, SolvedChallengePassesOnceNamed) {
  for (bool sha_only : {false, true}) {
    AltchaOptions o = options();
    o.sha_only = sha_only;
    AltchaProof proof;
    EXPECT_TRUE(verify(o, solve(challenge(o)), kNow + 5, &proof)) << proof.reason;
    EXPECT_EQ(strncmp(proof.id, "v2 ", 3), 0);
    EXPECT_EQ(proof.keep_seconds, 596);
  }
  // Without a key signature the work is done again.
  AltchaProof proof;
  EXPECT_TRUE(verify(options(), solve(challenge(options()), false), kNow, &proof)) << proof.reason;
}

TEST(Altcha, RefusesBadAnswers) {
  AltchaOptions o = options();
  std::string good = solve(challenge(o));
  std::string tampered = good;
  tampered.replace(tampered.find("\"cost\":20"), 9, "\"cost\":2");
  std::string wrong_key = good;
  size_t key_at = wrong_key.find("derivedKey\":\"") + 13;
  wrong_key[key_at] = wrong_key[key_at] == '0' ? '1' : '0';
  AltchaOptions late = o;
  late.min_seconds = 10;
  static const struct {
    const AltchaOptions* options;
    std::string json;
    long long now;
    const char* reason;
  } cases[] = {
      {&o, tampered, kNow, "the challenge's signature is wrong"},
      {&o, wrong_key, kNow, "the derived key is not the challenge's"},
      {&o, good, kNow + 601, "the challenge has expired"},
      {&late, good, kNow + 9, "the form was sent too soon after the challenge"},
      {&o, "{\"challenge\":null,\"solution\":null,\"test\":true}", kNow,
       "the widget is in test mode"},
      {&o, "{\"challenge\":1}", kNow, "the answer has no challenge parameters or no solution"},
  };
  for (const auto& c : cases) {
    AltchaProof proof;
    EXPECT_FALSE(verify(*c.options, c.json, c.now, &proof)) << c.reason;
    EXPECT_STREQ(proof.reason, c.reason);
  }
  AltchaProof proof;
  EXPECT_TRUE(verify(late, good, kNow + 10, &proof)) << proof.reason;
  std::string big(kAltchaPayloadLimit + 1, 'A');
  EXPECT_FALSE(altcha_verify(o, big.data(), big.size(), kNow, &proof));
  EXPECT_STREQ(proof.reason, "the proof of work is too long");
}

TEST(Altcha, AlgorithmNamesAreExact) {
  // A correctly signed challenge naming another algorithm is still refused.
  std::string parameters = "{\"algorithm\":\"pbkdf2/sha-256\",\"cost\":1,\"expiresAt\":" +
                           std::to_string(kNow + 60) + ",\"keyLength\":32,\"keyPrefix\":\"00\","
                           "\"nonce\":\"00\",\"salt\":\"00\"}";
  unsigned char mac[kSha256Size];
  hmac_sha256("site secret", 11, parameters.data(), parameters.size(), mac);
  char hex[65];
  hex_lower(mac, sizeof mac, hex);
  std::string json = "{\"challenge\":{\"parameters\":" + parameters + ",\"signature\":\"" + hex +
                     "\"},\"solution\":{\"counter\":0,\"derivedKey\":\"00\"}}";
  AltchaProof proof;
  EXPECT_FALSE(verify(options(), json, kNow, &proof));
  EXPECT_STREQ(proof.reason, "the challenge's algorithm is not PBKDF2/SHA-256 or SHA-256");
}

TEST(Altcha, VersionOneRoundTrip) {
  AltchaOptions o = options(1);
  std::string text = challenge(o);
  AltchaTree tree;
  ASSERT_TRUE(altcha_tree_read(text.data(), text.size(), &tree));
  std::string salt = tree.nodes[altcha_member(tree, 0, "salt")].text;
  std::string hash = tree.nodes[altcha_member(tree, 0, "challenge")].text;
  std::string signature = tree.nodes[altcha_member(tree, 0, "signature")].text;
  altcha_tree_free(&tree);
  long number = -1;
  for (long n = 0; n <= o.cost && number < 0; ++n) {
    std::string tried = salt + std::to_string(n);
    unsigned char out[kSha256Size];
    sha256(tried.data(), tried.size(), out);
    char hex[65];
    hex_lower(out, sizeof out, hex);
    if (hash == hex) number = n;
  }
  ASSERT_GE(number, 0);
  std::string answer = "{\"algorithm\":\"SHA-256\",\"challenge\":\"" + hash + "\",\"number\":" +
                       std::to_string(number) + ",\"salt\":\"" + salt + "\",\"signature\":\"" +
                       signature + "\",\"took\":3}";
  AltchaProof proof;
  EXPECT_TRUE(verify(o, answer, kNow + 1, &proof)) << proof.reason;
  EXPECT_FALSE(verify(o, answer, kNow + 601, &proof));
  EXPECT_STREQ(proof.reason, "the challenge has expired");
}

}  // namespace
