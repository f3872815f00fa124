#include "base/json.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "base/utf8.h"

namespace {

// Each member as name=value with a kind letter (s, n, b, z for null) and a
// '*' for an array element, separated by '|'.
void collect(void* context, const JsonMember* m) {
  std::string* out = static_cast<std::string*>(context);
  static const char kKinds[] = "snbz";
  if (!out->empty()) *out += "|";
  *out += std::string(m->name, m->name_length) + "=" + std::string(m->value, m->value_length) +
          kKinds[static_cast<int>(m->kind)] + (m->in_array ? "*" : "");
  EXPECT_EQ('\0', m->value[m->value_length]);
}

// The members, or "error: reason @offset".
std::string read(const std::string& text, bool skip_nested) {
  std::string out;
  JsonError error;
  if (!json_read_object(text.data(), text.size(), skip_nested, collect, &out, &error)) {
    return "error: " + std::string(error.reason) + " @" + std::to_string(error.offset);
  }
  return out;
}

TEST(JsonRead, ReadsFlatObjectsAndRefusesEverythingElse) {
  struct Case {
    const char* text;
    const char* flat;  // read with skip_nested false
  };
  const Case cases[] = {
      {" {} ", ""},
      {"{\"a\":\"x\",\"n\":-1.5e+3,\"t\":true,\"f\":false,\"z\":null}",
       "a=xs|n=-1.5e+3n|t=trueb|f=falseb|z=z"},
      {"{\"a\" : [ \"x\" , 2 ,null ], \"b\":[]}", "a=xs*|a=2n*|a=z*"},
      {"{\"a\":1,\"a\":2}", "a=1n|a=2n"},
      {"{\"\\u00e9\\\"\\\\\\/\\b\\f\\n\\r\\t\":\"\\ud83d\\ude00\"}",
       "\xC3\xA9\"\\/\b\f\n\r\t=\xF0\x9F\x98\x80s"},
      {"\xEF\xBB\xBF{\"\xC3\xA9\":\"\xE2\x82\xAC\"}", "\xC3\xA9=\xE2\x82\xAC" "s"},
      {"", "error: expected an object @0"},
      {"[1]", "error: expected an object @0"},
      {"{\"a\":1}x", "error: trailing data @7"},
      {"{\"a\":1,}", "error: expected a member name @7"},
      {"{\"a\" 1}", "error: expected ':' @5"},
      {"{\"a\":1 \"b\":2}", "error: expected ',' or '}' @7"},
      {"{\"a\":[1 2]}", "error: expected ',' or ']' @8"},
      {"{\"a\":{\"b\":1}}", "error: nested value @5"},
      {"{\"a\":[[1]]}", "error: nested value @6"},
      {"{\"a\":\"x}", "error: unterminated string @5"},
      {"{\"a\":\"\\x\"}", "error: invalid escape @6"},
      {"{\"a\":\"\\u12g4\"}", "error: invalid escape @6"},
      {"{\"a\":\"\\ud800\"}", "error: lone surrogate @6"},
      {"{\"a\":\"\\ude00\\ud800\"}", "error: lone surrogate @6"},
      {"{\"a\":\"\\ud800\\u0041\"}", "error: lone surrogate @6"},
      {"{\"a\":\"\xC3\"}", "error: invalid UTF-8 @6"},
      {"{\"a\":\"\xC0\xAF\"}", "error: invalid UTF-8 @6"},
      {"{\"a\":\"\xED\xA0\x80\"}", "error: invalid UTF-8 @6"},
      {"{\"a\":\"\t\"}", "error: control character in a string @6"},
      {"{\"a\":01}", "error: invalid number @5"},
      {"{\"a\":1.}", "error: invalid number @5"},
      {"{\"a\":-}", "error: invalid number @5"},
      {"{\"a\":1e}", "error: invalid number @5"},
      {"{\"a\":tru}", "error: expected a value @5"},
      {"{\"a\":}", "error: expected a value @5"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.flat, read(c.text, false)) << c.text;
}

TEST(JsonRead, KeepsNulBytesOfEscapes) {
  std::string text = "{\"a\":\"x\\u0000y\"}";
  std::string out;
  JsonError error;
  ASSERT_TRUE(json_read_object(text.data(), text.size(), false, collect, &out, &error));
  EXPECT_EQ(std::string("a=x\0ys", 6), out);
}

TEST(JsonRead, SkipsNestedValuesWhenAsked) {
  const char* text =
      "{\"success\":true,\"meta\":{\"a\":[1,{\"b\":[]}],\"c\":{}},"
      "\"error-codes\":[\"x\",{\"d\":null},[2],\"y\"],\"score\":0.9}";
  EXPECT_EQ("success=trueb|error-codes=xs*|error-codes=ys*|score=0.9n", read(text, true));
  // What is skipped is still checked.
  EXPECT_EQ("error: expected ',' or '}' @11", read("{\"m\":{\"a\":1]}", true));
  EXPECT_EQ("error: invalid escape @12", read("{\"m\":[{\"a\":\"\\q\"}]}", true));
  // The member's own array, then kJsonMaxDepth skipped levels inside it.
  std::string deep = std::string(kJsonMaxDepth + 1, '[') + std::string(kJsonMaxDepth + 1, ']');
  EXPECT_EQ("", read("{\"m\":" + deep + "}", true));
  std::string deeper = "{\"m\":" + std::string(kJsonMaxDepth + 2, '[');
  EXPECT_EQ("error: too deeply nested @" + std::to_string(6 + kJsonMaxDepth), read(deeper, true));
}

TEST(JsonWrite, EscapesAndRepairs) {
  struct Case {
    std::string text;
    const char* json;
  };
  const Case cases[] = {
      {"plain \xC3\xA9", "\"plain \xC3\xA9\""},
      {"q\"b\\", "\"q\\\"b\\\\\""},
      {std::string("\n\x01\x1f\0", 4), "\"\\u000a\\u0001\\u001f\\u0000\""},
      {"bad\xC3(\xFF\xED\xA0\x80",
       "\"bad\xEF\xBF\xBD(\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
  };
  for (const Case& c : cases) {
    TextBuffer* buffer = text_buffer_new("");
    json_append_string(buffer, c.text.data(), c.text.size());
    EXPECT_EQ(c.json, std::string(buffer->data, buffer->length));
    EXPECT_TRUE(utf8_valid(buffer->data, buffer->length));
    text_buffer_free(buffer);
  }
}

TEST(Utf8, ConvertsLatin1) {
  char out[8];
  size_t n = latin1_to_utf8("a\xE9\xFF", 3, out);
  EXPECT_EQ("a\xC3\xA9\xC3\xBF", std::string(out, n));
}

}  // namespace
