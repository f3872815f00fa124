#include "compose/html_mail.h"

#include <gtest/gtest.h>

namespace {

TEST(HtmlEscape, EscapesMarkupAndTurnsLineBreaksIntoBr) {
  struct Case {
    const char* text;
    const char* escaped;
  };
  const Case cases[] = {
      {"", ""},
      {"plain", "plain"},
      {"<a href=\"x\">&'", "&lt;a href=&quot;x&quot;&gt;&amp;&#39;"},
      {"a\r\nb\nc\rd", "a<br>\nb<br>\nc<br>\nd"},
      {"J\xc3\xb6rg", "J\xc3\xb6rg"},
  };
  for (const Case& c : cases) {
    TextBuffer* out = text_buffer_new("");
    html_escape_append(out, c.text);
    EXPECT_STREQ(c.escaped, out->data);
    text_buffer_free(out);
  }
}

}  // namespace
