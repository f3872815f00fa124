#include "compose/mime.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "base/base64.h"

namespace {

std::string taken(TextBuffer* block) {
  std::string text(block->data, static_cast<size_t>(block->length));
  text_buffer_free(block);
  return text;
}

std::string word(const std::string& text) {
  char* encoded = base64_encode_copy(text.data(), text.size());
  std::string out = "=?UTF-8?B?" + std::string(encoded) + "?=";
  free(encoded);
  return out;
}

// Every line of `text` (split at LF, a CR before it not counted) is at most
// `limit` characters.
bool lines_within(const std::string& text, size_t limit) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    size_t length = end - start;
    if (length > 0 && text[end - 1] == '\r') --length;
    if (length > limit) return false;
    start = end + 1;
  }
  return true;
}

TEST(Mime, DateHasTheZoneOffset) {
  static const struct {
    OsZonedTime time;
    const char* written;
  } cases[] = {
      {{{2026, 12, 9, 14, 3, 7}, 3, 60, 0}, "Wed, 09 Dec 2026 14:03:07 +0100"},
      {{{2027, 1, 31, 0, 0, 0}, 0, -330, 0}, "Sun, 31 Jan 2027 00:00:00 -0530"},
      {{{2026, 7, 1, 23, 59, 59}, 3, 0, 0}, "Wed, 01 Jul 2026 23:59:59 +0000"},
  };
  for (const auto& c : cases) {
    char out[64];
    format_mail_date(c.time, out, sizeof out);
    EXPECT_STREQ(c.written, out);
  }
}

TEST(Mime, SevenBitOnlyForShortAsciiLines) {
  static const struct {
    std::string body;
    bool seven_bit;
  } cases[] = {
      {" Name: Joe\n", true},
      {" Name: Joe\r\n", true},
      {" Name: Jos\xc3\xa9\n", false},
      {" A: a\rb\n", false},
      {std::string(998, 'x') + "\r\n", true},
      {std::string(999, 'x') + "\n", false},
  };
  for (const auto& c : cases) EXPECT_EQ(c.seven_bit, body_is_7bit(c.body.c_str())) << c.body;
}

TEST(Mime, QuotedPrintable) {
  static const struct {
    std::string body;
    const char* eol;
    std::string written;
  } cases[] = {
      {"caf\xc3\xa9 = ok\n", "\n", "caf=C3=A9 =3D ok\n"},
      {"trailing \nblank\t\r\n", "\r\n", "trailing=20\r\nblank=09\r\n"},
      // A CR that is not part of the line end is data.
      {"a\rb\r\n", "\n", "a=0Db=0D\n"},
      {"no end", "\n", "no end"},
      {std::string(76, 'x') + "\n", "\n", std::string(76, 'x') + "\n"},
      {std::string(80, 'x') + "\r\n", "\r\n",
       std::string(75, 'x') + "=\r\n" + std::string(5, 'x') + "\r\n"},
      {std::string(74, 'x') + "\xc3\xa9", "\n", std::string(74, 'x') + "=\n=C3=A9"},
  };
  for (const auto& c : cases) {
    TextBuffer* out = text_buffer_new("");
    append_quoted_printable(out, c.body.c_str(), c.eol);
    EXPECT_EQ(c.written, taken(out)) << c.body;
  }
}

TEST(Mime, HeaderValuesBecomeEncodedWordsWhereNeeded) {
  const std::string e = "\xc3\xa9";  // é
  const std::string long_text(1200, 'a');
  const std::string many = std::string(4, 'x') + e + e + e + e + e + e + e + e + e + e +
                           e + e + e + e + e + e + e + e + e + e + e + e + e + e;
  const struct {
    std::string line;
    std::string written;
  } cases[] = {
      {"Subject: Form Submission Data ", "Subject: Form Submission Data \r\n"},
      {"Subject: Gr\xc3\xbc\xc3\x9f" "e", "Subject: " + word("Gr\xc3\xbc\xc3\x9f" "e") + "\r\n"},
      {"From: \"J\xc3\xb6rg M\xc3\xbcller\" <j@x.test>",
       "From: " + word("J\xc3\xb6rg M\xc3\xbcller") + " <j@x.test>\r\n"},
      {"To: site <owner@x.test>, Ren" + e + " <r@x.test>",
       "To: site <owner@x.test>, " + word("Ren" + e) + " <r@x.test>\r\n"},
      // 45 bytes would end inside the 21st é: the first word takes 44.
      {"Subject: " + many, "Subject: " + word(many.substr(0, 44)) + "\r\n " +
                               word(many.substr(44)) + "\r\n"},
      {"Subject: " + long_text, ""},
  };
  for (const auto& c : cases) {
    TextBuffer* out = text_buffer_new("");
    append_header_line_encoded(out, c.line.c_str(), "\r\n");
    std::string written = taken(out);
    if (!c.written.empty()) {
      EXPECT_EQ(c.written, written) << c.line;
    }
    EXPECT_TRUE(lines_within(written, kMaxMessageLine)) << c.line;
    EXPECT_EQ(written.find(long_text), std::string::npos);
  }
}

}  // namespace
