#include "driver/run.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "base/log.h"
#include "driver/check_bounds.h"
#include "driver/outcome_line.h"

namespace {

TEST(DerivePath, ExtensionReplacesFirstExeThenFirstCgi) {
  struct Case {
    const char* program;
    const char* ini;
    const char* log;
    bool from_folder = false;  // what -check reports of it
  } cases[] = {
      {"C:\\web\\scripts\\quillon.exe", "C:\\web\\scripts\\quillon.ini",
       "C:\\web\\scripts\\quillon.log"},
      {"quillon.cgi", "quillon.ini", "quillon.log"},
      {"quillon", "quillon.ini", "quillon.log"},
      {"QUILLON.EXE", "QUILLON.EXE.ini", "QUILLON.EXE.log"},
      {"C:\\tools.exe\\quillon.exe", "C:\\tools.ini", "C:\\tools.log", true},
      {"x.cgi.exe", "x.ini", "x.log"},
      {"/srv/cgi-bin/quillon.cgi", "/srv/cgi-bin/quillon.ini", "/srv/cgi-bin/quillon.log"},
      {"/srv/a.cgi/b.exe/quillon", "/srv/a.ini", "/srv/a.log", true},
      {"/srv/quillon.execute", "/srv/quillon.ini", "/srv/quillon.log"},
      {"", ".ini", ".log"},
  };
  static char out[kPathAreaSize];
  for (const Case& c : cases) {
    derive_path(c.program, ".ini", out);
    EXPECT_STREQ(c.ini, out) << c.program;
    derive_path(c.program, ".log", out);
    EXPECT_STREQ(c.log, out) << c.program;
    EXPECT_EQ(c.from_folder, paths_from_folder(c.program)) << c.program;
  }
}

TEST(DerivePath, OverlongPathKeepsItsExtension) {
  static char out[kPathAreaSize];
  for (const char* ext : {".log", ".rate"}) {
    size_t ext_length = strlen(ext);
    for (size_t length : {63985u, 63986u, 63987u, 63990u, 70000u}) {
      std::string program(length, 'p');
      derive_path(program.c_str(), ext, out);
      size_t result = strlen(out);
      EXPECT_LE(result, static_cast<size_t>(kPathLimit)) << length;
      EXPECT_STREQ(ext, out + result - ext_length) << length;
      EXPECT_EQ(std::min(length, static_cast<size_t>(kPathLimit) - ext_length),
                result - ext_length)
          << length;
    }
  }
}

TEST(CheckLogSize, ProblemFromTheLimitOnAndNoneWithoutOne) {
  char pattern[] = "/tmp/quillon-check-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(pattern));
  std::string path = std::string(pattern) + "/quillon.log";
  const char* kept = g_log.path;
  g_log.path = path.c_str();
  struct Case {
    int max_kb;
    size_t bytes;
    bool problem;
    const char* says;
  } cases[] = {
      {1, 1023, false, "0 KB of log_max_kb 1 KB"},
      {1, 1024, true, "only outcome lines"},
      {1, 2048, true, "nothing is written"},
      {0, 4096, false, "no log_max_kb bound"},
  };
  for (const Case& c : cases) {
    std::ofstream(path, std::ios::binary) << std::string(c.bytes, 'x');
    Settings settings;
    settings.log_max_kb = c.max_kb;
    CheckNote note;
    check_log_size(settings, &note);
    EXPECT_EQ(c.problem, note.problem) << c.bytes;
    EXPECT_NE(nullptr, strstr(note.text, c.says)) << note.text;
  }
  g_log.path = kept;
  std::remove(path.c_str());
  rmdir(pattern);
}

// 20480 KB of files are 28123 KB of base64 lines with the text: within 25 s
// that is 1125 KB/s; past a run's 30 s the run's deadline counts.
TEST(CheckDeadlineSpeed, RelaySpeedFromTheLargestMessageAndTheShorterDeadline) {
  struct Case {
    int max_kb;
    int deadline;
    const char* says;
  } cases[] = {
      {0, 25, ""},
      {20480, 25, "up to 28123 KB on the wire, so the relay must take at least 1125 KB/s"},
      {20480, 300, "(a run ends after 30 s): a message with attachments_max_kb 20480 is up to "
                   "28123 KB on the wire, so the relay must take at least 938 KB/s"},
  };
  for (const Case& c : cases) {
    Settings settings;
    settings.attachments_max_kb = c.max_kb;
    settings.smtp_deadline = c.deadline;
    CheckNote note;
    check_deadline_speed(settings, &note);
    EXPECT_FALSE(note.problem);
    EXPECT_NE(nullptr, strstr(note.text, c.says)) << note.text;
    if (c.says[0] == '\0') {
      EXPECT_STREQ("", note.text);
    }
  }
}

TEST(ClassifyArguments, OnlyExactOptionsWithTheirCountAreCommands) {
  struct Case {
    std::vector<const char*> args;  // after the program path
    Command expected;
  } cases[] = {
      {{}, Command::kCgiRun},
      {{"-version"}, Command::kVersion},
      {{"-?"}, Command::kVersion},
      {{"-FAQ"}, Command::kFaq},
      {{"-blanklog"}, Command::kBlankLog},
      {{"-version_insert_filename", "quillon.exe"}, Command::kVersionInsertFilename},
      {{"-VERSION"}, Command::kCgiRun},
      {{"-faq"}, Command::kCgiRun},
      {{"-Blanklog"}, Command::kCgiRun},
      {{"-version "}, Command::kCgiRun},
      {{"version"}, Command::kCgiRun},
      {{""}, Command::kCgiRun},
      {{"-version", "extra"}, Command::kCgiRun},
      {{"-FAQ", "extra"}, Command::kCgiRun},
      {{"-blanklog", "quillon.log"}, Command::kCgiRun},
      {{"-version_insert_filename"}, Command::kCgiRun},
      {{"-version_insert_filename", "a", "b"}, Command::kCgiRun},
      {{"help"}, Command::kCgiRun},
      {{"-resend"}, Command::kResend},
      {{"-resend", "now"}, Command::kCgiRun},
      {{"-Resend"}, Command::kCgiRun},
  };
  for (const Case& c : cases) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>("quillon"));
    for (const char* arg : c.args) argv.push_back(const_cast<char*>(arg));
    argv.push_back(nullptr);
    EXPECT_EQ(static_cast<int>(c.expected),
              static_cast<int>(classify_arguments(static_cast<int>(argv.size()) - 1,
                                                  argv.data())))
        << (c.args.empty() ? "(none)" : c.args[0]) << " with " << c.args.size();
  }
}

// fatal_reply ends the process, so each case runs in a child; the child's
// standard output goes to a file the test reads afterwards.
class FatalReplyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quillon-fatal-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    dir_ = pattern;
    stdout_path_ = dir_ + "/stdout";
    UseLog(dir_ + "/quillon.log");
  }
  void TearDown() override {
    std::remove(stdout_path_.c_str());
    std::remove((dir_ + "/quillon.log").c_str());
    rmdir((dir_ + "/sub").c_str());
    rmdir(dir_.c_str());
    g_log.path = "";
  }
  void UseLog(const std::string& path) {
    snprintf(g_program.log_path, sizeof g_program.log_path, "%s", path.c_str());
    g_log.path = g_program.log_path;
  }
  void RedirectStdout() const {
    if (freopen(stdout_path_.c_str(), "w", stdout) == nullptr) _exit(99);
  }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
  }

  std::string dir_;
  std::string stdout_path_;
};

TEST_F(FatalReplyTest, LogsBareLineAnswersBrowserAndExitsOne) {
  EXPECT_EXIT(
      {
        RedirectStdout();
        fatal_reply("The ini file could not be opened.");
      },
      ::testing::ExitedWithCode(1), "");
  EXPECT_EQ(
      "Pragma: no-cache\nContent-type: text/html\n\n<HTML><BODY>\n"
      "error: The ini file could not be opened..\n</BODY></HTML>\n",
      Read(stdout_path_));
  std::string log = Read(dir_ + "/quillon.log");
  const std::string bare = "The ini file could not be opened.\n";
  ASSERT_EQ(bare, log.substr(0, bare.size()));
  const std::string ended = " - pid(";
  EXPECT_NE(std::string::npos, log.find(ended, bare.size())) << log;
  EXPECT_EQ(" - ended\n", log.substr(log.size() - 9)) << log;
}

TEST_F(FatalReplyTest, MessageIsNeverTakenAsFormat) {
  EXPECT_EXIT(
      {
        RedirectStdout();
        g_log.logging = "errors";  // no "ended" line
        fatal_reply("100% %s %n");
      },
      ::testing::ExitedWithCode(1), "");
  EXPECT_EQ(
      "Pragma: no-cache\nContent-type: text/html\n\n<HTML><BODY>\n"
      "error: 100% %s %n.\n</BODY></HTML>\n",
      Read(stdout_path_));
  EXPECT_EQ("100% %s %n\n", Read(dir_ + "/quillon.log"));
}

// Memory that runs out answers 500: the JSON answer prepared for a JSON
// client, else the page; whole log lines, the outcome line in a
// submission's run, no "ended" line from inside the log writer.
TEST_F(FatalReplyTest, OutOfMemoryAnswersServerErrorWithWholeLogLines) {
  const char kJson[] = "Status: 500 Internal Server Error\n\n{\"outcome\": \"server_error\"}\n";
  const struct {
    const char* json;
    bool submission;
    const char* answer;
    const char* log;
  } cases[] = {
      {kJson, true, kJson,
       "Unable to malloc memory.|outcome: not sent, out of memory (server_error)|"},
      {nullptr, false,
       "Status: 500 Internal Server Error\nPragma: no-cache\nContent-type: text/html\n\n"
       "<HTML><BODY>\nerror: Unable to malloc memory..\n</BODY></HTML>\n",
       "Unable to malloc memory.|"},
  };
  for (const auto& c : cases) {
    std::remove((dir_ + "/quillon.log").c_str());
    EXPECT_EXIT(
        {
          RedirectStdout();
          g_fatal.json = c.json;
          g_fatal.submission = c.submission;
          g_log.busy = true;
          fatal_reply(kOutOfMemoryRecord);
        },
        ::testing::ExitedWithCode(1), "");
    EXPECT_EQ(c.answer, Read(stdout_path_));
    std::string messages;
    std::stringstream log(Read(dir_ + "/quillon.log"));
    for (std::string line; std::getline(log, line);) {
      EXPECT_NE(std::string::npos, line.find(" - pid(")) << line;
      messages += line.substr(line.find(") - ") + 4) + "|";
    }
    EXPECT_EQ(c.log, messages);
  }
}

TEST_F(FatalReplyTest, UnopenableLogExitsTwoWithoutPage) {
  const std::string directory = dir_ + "/sub";
  ASSERT_EQ(0, mkdir(directory.c_str(), 0755));
  UseLog(directory);  // a directory cannot be opened for appending
  EXPECT_EXIT(
      {
        RedirectStdout();
        fatal_reply("The ini file could not be opened.");
      },
      ::testing::ExitedWithCode(2), "");
  EXPECT_EQ("", Read(stdout_path_));
}

}  // namespace

TEST(OutcomeSuffixes, FixedOrderAndNoneWithEveryFeatureOff) {
  TextBuffer* line = text_buffer_new("outcome: sent");
  append_outcome_suffixes(OutcomeSuffixes{false, "ID", nullptr, nullptr, nullptr, nullptr, false},
                          line);
  EXPECT_STREQ("outcome: sent", line->data);
  append_outcome_suffixes(OutcomeSuffixes{true, "ID", "contact", "de", "score 7", "1 of 2 sent",
                                          true},
                          line);
  EXPECT_STREQ("outcome: sent; id ID; form contact; language de; spam score 7; "
               "webhooks 1 of 2 sent; not archived",
               line->data);
  text_buffer_free(line);
}
