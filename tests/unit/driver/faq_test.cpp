#include "driver/faq.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string run_pass(const char* const* rows, FaqTag* tags) {
  testing::internal::CaptureStdout();
  print_faq_pass(rows, tags);
  fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

std::string escaped(const char* text) {
  testing::internal::CaptureStdout();
  print_html_escaped("[%s]", text);
  fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

// A fresh copy of a tag table, so that every test starts its counters at 0.
std::vector<FaqTag> fresh(const FaqTag* table) {
  std::vector<FaqTag> copy;
  for (const FaqTag* entry = table;; ++entry) {
    copy.push_back(*entry);
    copy.back().count = 0;
    if (entry->tag == nullptr) break;
  }
  return copy;
}

const char* const kRows[] = {
    "<intro> & more",
    "[q]",
    "Is 1 < 2?",
    "[a]",
    "Yes & \"no\" [b]bold[/b]",
    "[pre]",
    "a < b & \"c\"",
    "[/pre]",
    "after <pre>",
    "",
    "[q]",
    "Second?",
    "[a]",
    "x > y",
    nullptr,
};

TEST(FaqPass, IndexListsQuestionsOnly) {
  std::vector<FaqTag> tags = fresh(faq_index_tags);
  EXPECT_EQ(
      "<intro> & more\n"
      "<li><A HREF=\"#Q1\">Q 1 </A>\n"
      "Is 1 < 2?\n"
      "</li>\n\n"
      "<li><A HREF=\"#Q2\">Q 2 </A>\n"
      "Second?\n"
      "</li>\n\n",
      run_pass(kRows, tags.data()));
  EXPECT_EQ(2, tags[0].count);
  EXPECT_EQ(2, tags[1].count);
  EXPECT_EQ(1, tags[2].count);
  EXPECT_EQ(1, tags[3].count);
}

TEST(FaqPass, BodyEscapesAnswersButNotPreformattedBlocks) {
  std::vector<FaqTag> tags = fresh(faq_body_tags);
  EXPECT_EQ(
      "<intro> & more\n"
      "<BR><H3><a name=\"Q1\">Q 1 </a>\n"
      "Is 1 < 2?\n"
      "</H3><B>A 1 - </B>\n"
      "Yes &amp; &quot;no&quot; [b]bold[/b]\n"
      "<pre>\n"
      "a < b & \"c\"\n"
      "</pre>\n"
      "after &lt;pre&gt;\n"
      "\n"
      "<BR><H3><a name=\"Q2\">Q 2 </a>\n"
      "Second?\n"
      "</H3><B>A 2 - </B>\n"
      "x &gt; y\n",
      run_pass(kRows, tags.data()));
}

TEST(FaqPass, ShowAndModeCodes) {
  // One tag per code, each followed by a row that shows its effect on the
  // next row.
  FaqTag tags[] = {
      {"{hide}", "H", 0, 1, -1},    {"{show}", "S", 0, 3, -1},
      {"{next}", "N", 0, 0, -1},    {"{esc}", "E<", 0, 2, 1},
      {"{escn}", "F<", 0, 2, 2},    {"{raw}", "R<", 0, 2, 0},
      {"{rawn}", "W<", 0, 2, 3},    {"{keep}", "K", 0, 2, -1},
      {"{%}", "%d|%d|%d|%d|%d|%%|%s", 0, 2, -1},
      {nullptr, nullptr, 0, 0, 0},
  };
  const char* const rows[] = {
      "{hide}", "gone", "{keep}", "gone too", "{show}", "back",
      "{hide}", "{next}", "shown after next",
      "{esc}", "<e>", "{rawn}", "<raw again>",
      "{escn}", "<escaped>", "{raw}", "<raw>",
      "x{%}y{%}z", nullptr,
  };
  EXPECT_EQ(
      "H\nS\nback\nH\nshown after next\n"
      "E&lt;\n&lt;e&gt;\nW&lt;\n<raw again>\n"
      "F<\n&lt;escaped&gt;\nR<\n<raw>\n"
      "x1|1|1|1|1|%|%sy{%}z\n",
      run_pass(rows, tags));
  EXPECT_EQ(1, tags[8].count);
}

TEST(FaqPass, LaterTagsSearchTheRebuiltRow) {
  FaqTag tags[] = {
      {"<1>", "<2>", 0, 2, -1},
      {"<2>", "two", 0, 2, -1},
      {nullptr, nullptr, 0, 0, 0},
  };
  const char* const rows[] = {"a<1>b", "<2><2>", nullptr};
  EXPECT_EQ("atwob\ntwo<2>\n", run_pass(rows, tags));
  EXPECT_EQ(1, tags[0].count);
  EXPECT_EQ(2, tags[1].count);
}

TEST(FaqPass, OverlongRowIsCut) {
  std::string longer(2500, 'x');
  const char* const rows[] = {longer.c_str(), nullptr};
  FaqTag tags[] = {{nullptr, nullptr, 0, 0, 0}};
  EXPECT_EQ(std::string(1999, 'x') + "\n", run_pass(rows, tags));
}

TEST(HtmlEscaped, EscapesFourCharactersThroughTheFormat) {
  EXPECT_EQ("[&amp;&lt;&gt;&quot;'%\t]", escaped("&<>\"'%\t"));
  EXPECT_EQ("[]", escaped(""));
}

TEST(HtmlEscaped, StopsAt1998BytesWithoutSplittingAnEntity) {
  struct {
    std::string text;
    std::string printed;
  } cases[] = {
      {std::string(2500, 'x'), std::string(1998, 'x')},
      {std::string(1997, 'x') + "&y", std::string(1997, 'x')},
      {std::string(1993, 'x') + "&y", std::string(1993, 'x') + "&amp;"},
      {std::string(1992, 'x') + "\"", std::string(1992, 'x') + "&quot;"},
      {std::string(1993, 'x') + "\"", std::string(1993, 'x')},
      {std::string(1000, '<'), [] {
         std::string s;
         for (int i = 0; i < 499; ++i) s += "&lt;";
         return s;
       }()},
  };
  for (const auto& c : cases) {
    EXPECT_EQ("[" + c.printed + "]", escaped(c.text.c_str())) << c.text.size();
  }
}

TEST(FaqRows, TableShape) {
  int rows = 0;
  int questions = 0;
  size_t longest = 0;
  while (faq_rows[rows] != nullptr) {
    if (strcmp(faq_rows[rows], "[q]") == 0) ++questions;
    longest = std::max(longest, strlen(faq_rows[rows]));
    ++rows;
  }
  EXPECT_EQ(327, rows);
  EXPECT_EQ(27, questions);
  EXPECT_EQ(208u, longest);
  for (int i = rows - 35; i < rows; ++i) EXPECT_STREQ("", faq_rows[i]) << i;
  EXPECT_STRNE("", faq_rows[rows - 36]);
}

TEST(FaqRows, TagsStandAloneAndBlocksClose) {
  static const char* const kTags[] = {"[q]", "[a]", "[pre]", "[/pre]"};
  enum { kBefore, kQuestion, kAnswer, kBlock } where = kBefore;
  int answers = 0;
  bool bold_in_first_answer = false;
  for (int i = 0; faq_rows[i] != nullptr; ++i) {
    const char* row = faq_rows[i];
    bool is_tag = false;
    for (const char* tag : kTags) {
      if (strcmp(row, tag) == 0) {
        is_tag = true;
      } else {
        EXPECT_EQ(nullptr, strstr(row, tag)) << "row " << i << ": " << row;
      }
    }
    if (!is_tag) {
      if (where == kAnswer && answers == 1 && strstr(row, "[b]") != nullptr &&
          strstr(row, "[/b]") != nullptr) {
        bold_in_first_answer = true;
      }
      continue;
    }
    if (strcmp(row, "[q]") == 0) {
      EXPECT_NE(kBlock, where) << "row " << i;
      EXPECT_NE(kQuestion, where) << "row " << i;
      where = kQuestion;
    } else if (strcmp(row, "[a]") == 0) {
      EXPECT_EQ(kQuestion, where) << "row " << i;
      where = kAnswer;
      ++answers;
    } else if (strcmp(row, "[pre]") == 0) {
      EXPECT_EQ(kAnswer, where) << "row " << i;
      where = kBlock;
    } else {
      EXPECT_EQ(kBlock, where) << "row " << i;
      where = kAnswer;
    }
  }
  EXPECT_EQ(kAnswer, where);
  EXPECT_TRUE(bold_in_first_answer);
}

}  // namespace
