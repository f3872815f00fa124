#include "base/sha256.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string hex(const unsigned char* data, size_t length) {
  std::string out(2 * length + 1, '\0');
  hex_lower(data, length, &out[0]);
  out.resize(2 * length);
  return out;
}

TEST(Sha256, MatchesPublishedVectors) {
  static const struct {
    std::string in;
    const char* digest;
  } cases[] = {
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      // Two blocks: the padding no longer fits the first.
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
  };
  for (const auto& c : cases) {
    unsigned char out[kSha256Size];
    sha256(c.in.data(), c.in.size(), out);
    EXPECT_EQ(hex(out, sizeof out), c.digest) << c.in;
  }
  // Fed in uneven pieces, the same hash as in one call.
  std::string million(1001, 'a');
  Sha256 hash;
  sha256_init(&hash);
  for (int i = 0; i < 1000; ++i) sha256_update(&hash, million.data(), i % 2 ? 999 : 1001);
  unsigned char out[kSha256Size];
  sha256_final(&hash, out);
  EXPECT_EQ(hex(out, sizeof out),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256, HmacMatchesRfc4231) {
  std::string key1(20, '\x0b');
  unsigned char out[kSha256Size];
  hmac_sha256(key1.data(), key1.size(), "Hi There", 8, out);
  EXPECT_EQ(hex(out, sizeof out),
            "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");
  hmac_sha256("Jefe", 4, "what do ya want for nothing?", 28, out);
  EXPECT_EQ(hex(out, sizeof out),
            "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
  // Case 6: a key longer than a block is hashed first.
  std::string key6(131, '\xaa');
  const char* text = "Test Using Larger Than Block-Size Key - Hash Key First";
  hmac_sha256(key6.data(), key6.size(), text, strlen(text), out);
  EXPECT_EQ(hex(out, sizeof out),
            "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54");
}

TEST(Sha256, Pbkdf2MatchesKnownVectors) {
  unsigned char out[40];
  pbkdf2_sha256("password", 8, "salt", 4, 1, out, 32);
  EXPECT_EQ(hex(out, 32),
            "120fb6cffcf8b32c43e7225256c4f837a86548c92ccc35480805987cb70be17b");
  pbkdf2_sha256("password", 8, "salt", 4, 4096, out, 32);
  EXPECT_EQ(hex(out, 32),
            "c5e478d59288c841aa530db6845c4c8d962893a001ce4e11a4963873aa98134a");
  // Longer than one hash: the second block follows.
  pbkdf2_sha256("passwordPASSWORDpassword", 24, "saltSALTsaltSALTsaltSALTsaltSALTsalt", 36, 4096,
                out, 40);
  EXPECT_EQ(hex(out, 40),
            "348c89dbcbd32b2f32d814b8116e84cf2b17347ebc1800181c4e2a1fb8dd53e1c635518c7dac47e9");
}

}  // namespace
