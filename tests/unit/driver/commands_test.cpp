#include "driver/commands.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "driver/help.h"

namespace {

TEST(ProgramBaseName, LastComponentUpToItsFirstDot) {
  struct {
    const char* path;
    const char* base;
  } cases[] = {
      {"C:\\build\\quillon.exe", "quillon"},
      {"/usr/lib/cgi-bin/quillon", "quillon"},
      {"quillon", "quillon"},
      {"quillon.cgi.exe", "quillon"},
      {"C:\\tools.exe\\quillon.exe", "quillon"},
      {"a.b/c", "c"},
      {"mixed/dir\\name.x/y.z", "y"},
      {"dir/", ""},
      {"dir\\", ""},
      {"dir/.hidden", ""},
      {"", ""},
  };
  for (const auto& c : cases) {
    char out[64] = "junk";
    program_base_name(c.path, out, sizeof out);
    EXPECT_STREQ(c.base, out) << c.path;
  }
}

TEST(ProgramBaseName, CutToItsArea) {
  char out[5];
  program_base_name("/x/quillon.exe", out, sizeof out);
  EXPECT_STREQ("quil", out);
}

std::string answer_for(const std::string& input) {
  FILE* file = tmpfile();
  fwrite(input.data(), 1, input.size(), file);
  rewind(file);
  static char dest[kAnswerAreaSize];
  read_answer_line_from(file, dest);
  fclose(file);
  return dest;
}

TEST(ReadAnswerLine, FirstTokenBetweenLineEnds) {
  struct {
    std::string input;
    std::string answer;
  } cases[] = {
      {"yes\n", "yes"},
      {"y\r\n", "y"},
      {"\r\ry\rn\n", "y"},
      {"\r\r\ny\n", ""},
      {" y\n", " y"},
      {"\n", ""},
      {"", ""},
      {"no\nyes\n", "no"},
      {std::string(12000, 'a') + "\n", std::string(9998, 'a')},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.answer, answer_for(c.input)) << c.input.substr(0, 20);
  }
  // End of input after an earlier answer gives no answer, not the old one.
  answer_for("y\n");
  EXPECT_EQ("", answer_for(""));
}

}  // namespace
