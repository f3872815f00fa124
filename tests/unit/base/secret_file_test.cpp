#include "base/secret_file.h"

#include <unistd.h>

#include <fstream>
#include <string>

#include <gtest/gtest.h>

namespace {

TEST(SecretFile, FirstLineUpToTheLimitEndsAtCrOrLf) {
  const std::string path = "/tmp/quillon-secret-" + std::to_string(getpid());
  const struct {
    std::string content;
    SecretLine state;
    std::string line;
  } cases[] = {
      {"abcd\n", SecretLine::kRead, "abcd"},
      {"abcde", SecretLine::kTooLong, ""},
      {"ab\rcd\n", SecretLine::kRead, "ab"},
      {std::string("a\0b", 3), SecretLine::kRead, std::string("a\0b", 3)},
      {"\r\nkey", SecretLine::kEmpty, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content);
    std::ofstream(path, std::ios::binary) << c.content;
    char out[5];
    size_t length = 99;
    int open_error = -1;
    EXPECT_EQ(c.state, secret_file_line(path.c_str(), out, 4, &length, &open_error));
    EXPECT_EQ(c.line, std::string(out, length));
    EXPECT_EQ(0, open_error);
  }
  unlink(path.c_str());
}

}  // namespace
