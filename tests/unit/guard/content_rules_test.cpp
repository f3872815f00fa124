#include "guard/content_rules.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "guard/confusables.h"
#include "guard/scripts.h"

namespace {

TEST(ContentRules, CountsLinksInEveryForm) {
  static const struct {
    const char* text;
    int links;
  } cases[] = {
      {"see http://a.example/x and HTTPS://b.example", 2},
      {"visit www.shop.example today", 1},
      {"cheap-pills.com, best-deals.xyz/buy?x=1 and promo.shop.", 3},
      {"[url=http://spam.example]click[/url]", 1},
      {"[URL]http://spam.example[/URL] [url=x]y[/url]", 2},
      {"<a href=\"http://spam.example\">http://spam.example</a>", 1},
      {"<a\nhref='/x'>here", 1},
      // File names, versions, addresses and abbreviations are no links.
      {"attached report.zip, notes.md, run.sh, build.py, video.mov, a.pl", 0},
      {"mail me at bob@example.com, e.g. v1.2.3 costs 3.50 in Node.js", 0},
      {"a link-free message about a <b>bold</b> idea [quote]x[/quote]", 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(count_links(c.text, strlen(c.text)), c.links) << c.text;
  }
}

TEST(ContentRules, OnlyALinkIsTheWholeTrimmedValue) {
  EXPECT_TRUE(only_a_link("  https://spam.example/offer \n"));
  EXPECT_TRUE(only_a_link("[url=http://x.example]x[/url]"));
  EXPECT_FALSE(only_a_link("Hello, see https://a.example"));
  EXPECT_FALSE(only_a_link(""));
}

TEST(ContentRules, FoldsLookAlikesAndDropsInvisibleCharacters) {
  static const struct {
    const char* text;
    const char* folded;
  } cases[] = {
      {"v\xd1\x96"
       "agra",
       " viagra "},                                 // Cyrillic i
      {"\xd0\x92\xd0\x86\xd0\x90GRA", " biagra "},  // Cyrillic capitals
      {"vi\xe2\x80\x8b"
       "ag\xc2\xad"
       "ra",
       " viagra "},                                             // zero-width, soft hyphen
      {"\xef\xbd\x96\xef\xbd\x89\xef\xbd\x81gra", " viagra "},  // full-width
      {"\xf0\x9d\x90\xaf\xf0\x9d\x90\xa2"
       "agra",
       " viagra "},                                                  // bold mathematical
      {"\xce\xbf\xcf\x81\xce\xb1", " opa "},                         // Greek
      {"Caf\xc3\xa9, cr\xc3\xa8me!", " caf\xc3\xa9 cr\xc3\xa8me "},  // real accents stay
      {"\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82",
       " \xd0\xbf"
       "p\xd0\xb8\xd0\xb2"
       "e\xd1\x82 "},
  };
  for (const auto& c : cases) {
    char out[128];
    size_t n = fold_words(c.text, strlen(c.text), out);
    EXPECT_EQ(std::string(out, n), c.folded) << c.text;
  }
}

TEST(ContentRules, WordsMatchWholeWordsAndPhrases) {
  const char list[] = "# comment\nviagra\nSEO services\n\ncasino\n";
  WordSet set;
  word_set_from_text(list, sizeof list - 1, &set);
  static const struct {
    const char* text;
    const char* found;  // null: none
  } cases[] = {
      {"Buy V\xd1\x96"
       "AGRA now",
       "viagra"},
      {"We offer seo   services.", "seo services"},
      {"best s\xe2\x80\x8b"
       "eo services",
       "seo services"},
      {"casinos are not casino-free", "casino"},
      {"casinos and viagrafree", nullptr},
      {"services of SEO", nullptr},
  };
  for (const auto& c : cases) {
    char found[64] = "";
    bool hit = word_set_find(set, c.text, strlen(c.text), found, sizeof found);
    EXPECT_EQ(hit, c.found != nullptr) << c.text;
    if (hit && c.found != nullptr) {
      EXPECT_STREQ(found, c.found) << c.text;
    }
  }
  word_set_free(&set);
}

TEST(ContentRules, ScriptsCountLettersOnly) {
  int latin[] = {static_cast<int>(Script::kLatin)};
  static const struct {
    const char* text;
    bool mostly_foreign;
    const char* foreign;
  } cases[] = {
      {"Za\xc5\xbc\xc3\xb3\xc5\x82\xc4\x87 g\xc4\x99\xc5\x9bl\xc4\x85 ja\xc5\xba\xc5\x84", false,
       ""},
      {"\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82 ok", true, "Cyrillic"},
      {"\xe4\xbd\xa0\xe5\xa5\xbd\xe4\xb8\x96\xe7\x95\x8c", true, "Han"},
      {"123 456 !!! \xf0\x9f\x98\x80", false, ""},
      {"\xce\xb1\xce\xb2 abc", false, ""},
  };
  for (const auto& c : cases) {
    int foreign = 0;
    ScriptCount seen = count_scripts(c.text, strlen(c.text), latin, 1, &foreign);
    EXPECT_EQ(seen.outside * 2 > seen.letters, c.mostly_foreign) << c.text;
    if (c.mostly_foreign) {
      EXPECT_STREQ(script_name(static_cast<Script>(foreign)), c.foreign);
    }
  }
  Script script;
  EXPECT_TRUE(script_named("cyrillic", &script));
  EXPECT_EQ(script, Script::kCyrillic);
  EXPECT_FALSE(script_named("Klingon", &script));
}

}  // namespace
