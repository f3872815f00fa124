#include "form/text_plain.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

void collect(void* context, const char* name, size_t name_length, const char* value,
             size_t value_length) {
  std::string* out = static_cast<std::string*>(context);
  *out += (out->empty() ? "" : "|") + std::string(name, name_length) + "=" +
          std::string(value, value_length);
}

TEST(TextPlainDecode, SplitsLinesAtTheFirstEquals) {
  struct Case {
    const char* body;
    const char* expected;
  };
  const Case cases[] = {
      {"a=1\r\nb=x=y\nc=\r\n", "a=1|b=x=y|c="},
      {"flag\n\n\r\n=v\r\nlast=no end", "flag=|=v|last=no end"},
      {"a\r=1\r\r\n", "a=1"},
      {"", ""},
  };
  for (const Case& c : cases) {
    std::string out;
    int dropped = -1;
    (void)text_plain_decode(c.body, strlen(c.body), 1000, collect, &out, &dropped);
    EXPECT_EQ(c.expected, out) << c.body;
    EXPECT_EQ(0, dropped);
  }
  std::string out;
  int dropped = 0;
  EXPECT_EQ(2, text_plain_decode("a=1\nb=2\nc=3\n", 12, 2, collect, &out, &dropped));
  EXPECT_EQ(1, dropped);
}

}  // namespace
