#include "base/base64.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

TEST(Base64, EncodesWithPadding) {
  static const struct {
    std::string in;
    const char* out;
  } cases[] = {
      {"", ""},          {"f", "Zg=="},         {"fo", "Zm8="},
      {"foo", "Zm9v"},   {"foob", "Zm9vYg=="},  {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      // AUTH PLAIN's NULs and bytes above 127 are data like any other.
      {std::string("\0ann\0p\xc3\xa4ss", 10), "AGFubgBww6Rzcw=="},
      {"\xff\xfe", "//4="},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(base64_length(c.in.size()), strlen(c.out)) << c.out;
    char* copy = base64_encode_copy(c.in.data(), c.in.size());
    EXPECT_STREQ(copy, c.out);
    free(copy);
  }
}

}  // namespace
