#include "reply/page.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>

#include "base/log.h"
#include "config/settings.h"
#include "form/form.h"

namespace {

const char kHeaders[] = "Pragma: no-cache\nContent-type: text/html\n\n";

Settings page_settings;
FormTable page_form{};
const char* page_spooled = "";

PageInput page_input() {
  return PageInput{&page_form, page_settings.add_zolvar_link, nullptr, page_spooled, nullptr,
                   nullptr};
}

class PageTest : public testing::Test {
 protected:
  void SetUp() override {
    saved_log_ = g_log;
    dir_ = testing::TempDir() + "quillon_page_" +
           testing::UnitTest::GetInstance()->current_test_info()->name();
    mkdir(dir_.c_str(), 0700);
    log_path_ = dir_ + "/test.log";
    remove(log_path_.c_str());
    g_log.path = log_path_.c_str();
    g_log.logging = nullptr;
    form_free(&page_form);
    Submit("Name%3A=Joe+Bloggs&Email%3A=joe%40example.org&=empty-name");
  }
  void TearDown() override {
    page_settings = Settings();  // its texts belong to the tests
    g_log = saved_log_;
    form_free(&page_form);
  }

  static void Submit(const char* body) { form_decode(&page_form, body, strlen(body)); }

  std::string WritePage(const char* name, const std::string& content) {
    std::string path = dir_ + "/" + name;
    FILE* f = fopen(path.c_str(), "wb");
    fwrite(content.data(), 1, content.size(), f);
    fclose(f);
    return path;
  }

  std::string Log() {
    std::string text;
    FILE* f = fopen(log_path_.c_str(), "rb");
    if (f == nullptr) return text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    fclose(f);
    return text;
  }

  // Runs the success (or failure) page with `path` as its setting.
  static std::string Reply(bool success, const char* path) {
    if (success) page_settings.success_html_page = const_cast<char*>(path);
    else page_settings.failure_html_page = const_cast<char*>(path);
    testing::internal::CaptureStdout();
    if (success) send_success_reply(page_settings, page_input());
    else send_failure_reply(page_settings, page_input());
    return testing::internal::GetCapturedStdout();
  }

  static std::string Expand(std::string text) {
    testing::internal::CaptureStdout();
    expand_tokens(page_input(), &text[0]);
    return testing::internal::GetCapturedStdout();
  }

  LogState saved_log_;
  std::string dir_;
  std::string log_path_;
};

TEST_F(PageTest, ExpandTokensReplacesNamesWithEscapedValues) {
  Submit("Markup=%3Cb+class%3D%22x%22%3E%26%27&Bars=%7C%7CName%3A%7C%7C"
         "&quillon_spooled=forged&quillon_outcome=forged&quillon_other=x");
  static const struct {
    const char* text;
    const char* expected;
  } cases[] = {
      {"no tokens at all\n", "no tokens at all\n"},
      {"Hi ||Name:||!\n", "Hi Joe Bloggs!\n"},
      {"||Name:|| <||Email:||>", "Joe Bloggs <joe@example.org>"},
      {"||Name:||||Name:||", "Joe BloggsJoe Bloggs"},
      {"[||nobody||]", "[]"},
      {"[||name:||]", "[]"},  // names match case exactly
      {"[||||]", "[empty-name]"},
      {"||Markup||", "&lt;b class=&quot;x&quot;&gt;&amp;&#39;"},
      {"||Bars||", "||Name:||"},  // a value is never expanded again
      {"a | b |", "a | b |"},
      {"x ||open\n", "token not terminated {x ||open\n}"},
      {"|||", "token not terminated {|||}"},
      {"||Name:|| then ||open\n", "Joe Bloggstoken not terminated { then ||open\n}"},
      {"||||||", "empty-nametoken not terminated {||}"},
      {"|||||", "empty-name|"},
      {"[||quillon_spooled||]", "[]"},  // the program's token, not the field
      {"[||quillon_outcome||]", "[]"},
      {"[||quillon_other||]", "[x]"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Expand(c.text), c.expected) << "text: " << c.text;
  }
  page_spooled = "yes";
  EXPECT_EQ(Expand("[||quillon_spooled||]"), "[yes]");
  page_spooled = "";
}

TEST_F(PageTest, PagePrintfPrintsNothingWhenEmptyOrTooLong) {
  testing::internal::CaptureStdout();
  page_printf(page_input(), "%s", "100% ||Name:|| %d\n");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "100% Joe Bloggs %d\n");

  std::string exact(kScratchLimit, 'x');
  std::string over(kScratchLimit + 1, 'x');
  testing::internal::CaptureStdout();
  page_printf(page_input(), "%s", "");
  page_printf(page_input(), "%s", over.c_str());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  testing::internal::CaptureStdout();
  page_printf(page_input(), "%s", exact.c_str());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), exact);
}

TEST_F(PageTest, MissingSettingGivesBuiltInPageAndErrorLine) {
  EXPECT_EQ(Reply(true, nullptr),
            std::string(kHeaders) +
                "<HTML><BODY>\nemail sent.\n\"success_html_page\" message file is not set "
                "in quillon ini file.</BODY></HTML>\n");
  EXPECT_EQ(Reply(false, nullptr),
            std::string(kHeaders) +
                "<HTML><BODY>\nemail NOT sent.\n\"failure_html_page\" message file is not "
                "set in quillon ini file.</BODY></HTML>\n");
  std::string log = Log();
  EXPECT_NE(log.find(" - \"success_html_page\" message file is not set in quillon ini "
                     "file.\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find(" - \"failure_html_page\" message file is not set"), std::string::npos);
}

// The visitor learns only whether the message was sent; the path, the
// reason and the hint about web addresses go to the log.
TEST_F(PageTest, UnreadableFileIsLoggedWithPathAndReasonButNotShown) {
  static const struct {
    const char* path;
    bool web_sentence;
  } cases[] = {
      {"/nonexistent-quillon/%s%n page.html", false},
      {"http://example.org/ok.html", true},
      {"HTTP://example.org/ok.html", false},
      {"htt", false},
  };
  for (const auto& c : cases) {
    std::string message = std::string("\"failure_html_page\" message file (") + c.path +
                          ") is not readable for the reason (" + std::to_string(ENOENT) +
                          ")(" + strerror(ENOENT) + ").";
    if (c.web_sentence) {
      message += " The setting is not a web address setting, it is a local file name setting.";
    }
    EXPECT_EQ(Reply(false, c.path),
              std::string(kHeaders) + "<HTML><BODY>\nemail NOT sent.\n</BODY></HTML>\n");
    EXPECT_NE(Log().find(" - " + message + "\n"), std::string::npos) << c.path;
  }
  EXPECT_EQ(Reply(true, dir_.c_str()),
            std::string(kHeaders) + "<HTML><BODY>\nemail sent.\n</BODY></HTML>\n");
  EXPECT_NE(Log().find("message file (" + dir_ + ") is not readable for the reason"),
            std::string::npos);
  // A path longer than the line area is cut in the log line, never overrun.
  std::string path = "/nonexistent-quillon/" + std::string(20000, 'p');
  EXPECT_EQ(Reply(false, path.c_str()),
            std::string(kHeaders) + "<HTML><BODY>\nemail NOT sent.\n</BODY></HTML>\n");
  EXPECT_NE(Log().find("message file (/nonexistent-quillon/pppp"), std::string::npos);
}

TEST_F(PageTest, CreditLinkGoesBeforeTheClosingTag) {
  const std::string link = credit_link;
  const struct {
    bool add_link;
    const char* content;
    std::string expected;
  } cases[] = {
      {true, "<html>x</html>\n", "<html>x" + link + "</html>\n"},
      {false, "<html>x</html>\n", "<html>x</html>\n"},
      {true, "A</HTML>B\n", "A" + link + "</HTML>B\n"},
      {true, "</HTML> then </html>\n", "</HTML> then " + link + "</html>\n"},
      {true, "</Html>\n", "</Html>\n"},
      {true, "</html>\n</html>", link + "</html>\n" + link + "</html>"},
      {true, "no tag ||Name:|| 50%s\n", "no tag Joe Bloggs 50%s\n"},
      {true, "", ""},
  };
  for (const auto& c : cases) {
    page_settings.add_zolvar_link = c.add_link;
    std::string path = WritePage("page.html", c.content);
    EXPECT_EQ(Reply(true, path.c_str()), kHeaders + c.expected) << c.content;
  }
  EXPECT_EQ(Log(), "");  // a page printed from its file logs nothing
}

TEST_F(PageTest, LongLinesAreReadInPiecesOf9998) {
  // The token straddles the cut, so neither piece sees it whole.
  std::string path = WritePage("long.html", std::string(9997, 'a') + "||Name:||\n");
  EXPECT_EQ(Reply(true, path.c_str()),
            kHeaders + std::string(9997, 'a') + "|" + "token not terminated {|Name:||\n}");
}

}  // namespace
