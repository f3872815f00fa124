#include "guard/clamd.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(Clamd, VerdictsAndTheirNames) {
  const struct {
    const char* reply;
    ClamdStatus status;
    const char* name;
  } cases[] = {
      {"stream: OK", ClamdStatus::kClean, ""},
      {"stream: OK\n", ClamdStatus::kClean, ""},
      {"stream: Win.Test.EICAR_HDB-1 FOUND", ClamdStatus::kFound, "Win.Test.EICAR_HDB-1"},
      {"stream: Quillon.Test.UNOFFICIAL FOUND\n", ClamdStatus::kFound, "Quillon.Test.UNOFFICIAL"},
      {"INSTREAM size limit exceeded. ERROR", ClamdStatus::kSizeLimit, ""},
      {"stream: Can't allocate memory ERROR", ClamdStatus::kError, ""},
      {"UNKNOWN COMMAND", ClamdStatus::kError, ""},
      {"stream: FOUND", ClamdStatus::kError, ""},  // no name: not a verdict
      {"", ClamdStatus::kError, ""},
  };
  for (const auto& c : cases) {
    ClamdResult result;
    clamd_parse_reply(c.reply, strlen(c.reply), &result);
    EXPECT_EQ(static_cast<int>(c.status), static_cast<int>(result.status)) << c.reply;
    EXPECT_STREQ(c.name, result.name) << c.reply;
  }
}

TEST(Clamd, LengthsAreBigEndianAndReadersEndWithZero) {
  const struct {
    size_t length;
    unsigned char bytes[4];
  } heads[] = {{0, {0, 0, 0, 0}}, {kClamdChunk, {0, 1, 0, 0}}, {0x01020304, {1, 2, 3, 4}}};
  for (const auto& c : heads) {
    unsigned char out[4];
    clamd_chunk_head(c.length, out);
    EXPECT_EQ(0, memcmp(c.bytes, out, 4)) << c.length;
  }
  std::string data(kClamdChunk + 10, 'x');
  ClamdMemory source = {data.data(), data.size(), 0};
  std::string buf(kClamdChunk, '\0');
  EXPECT_EQ(kClamdChunk, clamd_read_memory(&source, &buf[0], buf.size()));
  EXPECT_EQ(10u, clamd_read_memory(&source, &buf[0], buf.size()));
  EXPECT_EQ(0u, clamd_read_memory(&source, &buf[0], buf.size()));
}

}  // namespace
