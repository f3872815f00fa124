#include "form/json_form.h"

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

TEST(JsonFormDecode, MakesFieldsOfFlatMembersOnly) {
  struct Case {
    const char* body;
    const char* expected;
  };
  const Case cases[] = {
      {"{\"name\":\"Zo\\u00eb\",\"n\":1.50,\"ok\":true,\"z\":null,\"c\":[\"a\",\"b\"],\"e\":[]}",
       "name=Zo\xC3\xAB|n=1.50|ok=true|z=|c=a|c=b"},
      {"{\"a\":1,\"a\":2}", "a=1|a=2"},
      {"{}", ""},
      {"{\"a\":1,\"o\":{\"b\":1}}", "error: nested value @11"},
      {"{\"a\":[[1]]}", "error: nested value @6"},
      {"{\"a\":1", "error: expected ',' or '}' @6"},
  };
  for (const Case& c : cases) {
    std::string out;
    JsonFormResult result;
    if (!json_form_decode(c.body, strlen(c.body), 1000, collect, &out, &result)) {
      EXPECT_EQ("", out) << "fields handed over from a bad body";
      out = "error: " + std::string(result.error) + " @" + std::to_string(result.error_offset);
    }
    EXPECT_EQ(c.expected, out) << c.body;
  }
  std::string out;
  JsonFormResult result;
  ASSERT_TRUE(json_form_decode("{\"a\":[1,2,3]}", 13, 2, collect, &out, &result));
  EXPECT_EQ("a=1|a=2", out);
  EXPECT_EQ(2, result.fields);
  EXPECT_EQ(1, result.dropped);
}

}  // namespace
