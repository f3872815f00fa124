#include "reply/language.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// "it" has no files.
bool has_files(const char* tag, void*) { return strcmp(tag, "it") != 0; }

TEST(ChooseLanguage, WeighsQValuesThenFallsBackToThePrimaryLanguage) {
  char de[] = "de", fr[] = "fr", it[] = "it", pt_br[] = "pt-br";
  char* names[] = {de, fr, it, pt_br};
  struct Case {
    const char* accept;
    int chosen;
  };
  const Case cases[] = {
      {nullptr, -1},
      {"", -1},
      {"de", 0},
      {"de-AT", 0},
      {"en, fr;q=0.9, de;q=0.8", 1},
      {"de;q=0.5, fr;q=0.5", 0},
      {"fr;q=0.4, de;q=0.41", 0},
      {"de;q=0, fr;q=0.1", 1},
      {"it, fr;q=0.2", 1},
      {"pt-BR", 3},
      {"pt", -1},
      {"*", -1},
      {"de;q=x, fr;q=0.1", 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.chosen, choose_language(c.accept, names, 4, has_files, nullptr))
        << (c.accept ? c.accept : "(none)");
  }
}

TEST(LanguagePath, PutsTheTagBeforeTheExtension) {
  struct Case {
    const char* path;
    const char* localised;
  };
  const Case cases[] = {
      {"success.html", "success.de.html"},
      {"pages/thanks.v2.html", "pages/thanks.v2.de.html"},
      {"site.d/reply", "site.d/reply.de"},
      {"C:\\site\\.hidden", "C:\\site\\.hidden.de"},
  };
  for (const Case& c : cases) {
    char out[100];
    ASSERT_TRUE(language_path(c.path, "de", out, sizeof out));
    EXPECT_STREQ(c.localised, out);
  }
}

}  // namespace
