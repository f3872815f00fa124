#include "compose/header_template.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const char* lookup(const char* name, void*) {
  if (std::string(name) == "Name:") return "J\xc3\xbcrgen";
  if (std::string(name) == "Plain") return "Joe <joe@example.net>";
  if (std::string(name) == "Word") return "=?UTF-8?B?QmNjOg==?=";
  return nullptr;
}

std::string filled(const char* text) {
  TextBuffer* out = text_buffer_new("");
  header_fill(text, lookup, nullptr, "\n", out);
  std::string result = out->data;
  text_buffer_free(out);
  return result;
}

TEST(HeaderTemplate, FillsEncodesWholeWordsAndKeepsAddressesOut) {
  struct Case {
    const char* text;
    const char* line;
  };
  const Case cases[] = {
      {"Subject: Hello", "Subject: Hello"},
      {"Subject: From ||Plain||!", "Subject: From Joe <joe@example.net>!"},
      {"Subject: From ||Name:||, thanks", "Subject: From =?UTF-8?B?SsO8cmdlbiw=?= thanks"},
      {"Subject: Re:||Name:||", "Subject: =?UTF-8?B?UmU6SsO8cmdlbg==?="},
      {"Subject: ||Word||", "Subject: =?UTF-8?B?PT9VVEYtOD9CP1FtTmpPZz09Pz0=?="},
      {"Subject: [||Nobody||] ||unclosed", "Subject: [] ||unclosed"},
      {"From: ||Plain|| <form@example.com>",
       "From: =?UTF-8?B?Sm9lIDxqb2VAZXhhbXBsZS5uZXQ+?= <form@example.com>"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.line, filled(c.text)) << c.text;
  TextBuffer* bare = text_buffer_new("");
  header_without_tokens("To: ||Plain|| <a@example.com>", bare);
  EXPECT_STREQ("To:  <a@example.com>", bare->data);
  text_buffer_free(bare);
}

TEST(HeaderTemplate, ValueLosesLineBreaksAndStopsAt200Characters) {
  struct Case {
    std::string value;
    std::string shown;
  };
  const std::string e_acute = "\xc3\xa9";
  std::string two_hundred;
  for (int i = 0; i < 200; ++i) two_hundred += e_acute;
  const Case cases[] = {
      {"a\r\nBcc: x@y\n\nz", "a Bcc: x@y z"},
      {two_hundred, two_hundred},
      {two_hundred + "x", two_hundred + "\xe2\x80\xa6"},
  };
  for (const Case& c : cases) {
    TextBuffer* out = text_buffer_new("");
    header_token_value(c.value.c_str(), out);
    EXPECT_EQ(c.shown, out->data);
    text_buffer_free(out);
  }
}

}  // namespace
