#include "base/log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quillon-log-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    dir_ = pattern;
    path_ = dir_ + "/quillon.log";
    g_log.path = path_.c_str();
    g_log.logging = nullptr;
    g_log.busy = false;
    g_log.max_bytes = kLogDefaultMaxBytes;
    g_log.full = false;
    ResetSpills();
  }
  void TearDown() override {
    g_log.max_bytes = kLogDefaultMaxBytes;
    g_log.full = false;
    g_log.path = "";
    g_log.logging = nullptr;
    g_log.busy = false;
    ResetSpills();
    std::remove(path_.c_str());
    rmdir(dir_.c_str());
  }
  static void ResetSpills() {
    for (FormatArea* area : {&g_output_format, &g_buffer_format}) {
      free(area->spill);
      area->spill = nullptr;
      area->spill_size = kSpillInitialSize;
    }
  }
  std::string Contents() const {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
  }
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    std::stringstream in(Contents());
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
  }

  std::string dir_;
  std::string path_;
};

// Whether `stamp` reads like "18th March 2002,  9:11:12 am".
bool LooksLikeTimestamp(const std::string& stamp) {
  static const char* const kMonths[] = {
      "January", "February", "March",     "April",   "May",      "June",
      "July",    "August",   "September", "October", "November", "December"};
  int day, year, hour, minute, second, end = -1;
  char suffix[3], month[16], half[3];
  if (sscanf(stamp.c_str(), "%d%2[a-z] %15[A-Za-z] %d,  %d:%d:%d %2[apm]%n", &day,
             suffix, month, &year, &hour, &minute, &second, half, &end) != 8 ||
      end != static_cast<int>(stamp.size())) {
    return false;
  }
  bool known_month = false;
  for (const char* name : kMonths) known_month = known_month || strcmp(name, month) == 0;
  bool half_known = strcmp(half, "am") == 0 || strcmp(half, "pm") == 0;
  return known_month && half_known && stamp.find(",  ") != std::string::npos &&
         day >= 1 && day <= 31 && hour >= 0 && hour <= 12;
}

// "<timestamp> - pid(<pid>) - <message>": returns the message, or a marker
// when the line does not have that form or names another process.
std::string MessageOf(const std::string& line) {
  size_t pid_at = line.find(" - pid(");
  if (pid_at == std::string::npos) return "<malformed: " + line + ">";
  size_t pid_end = line.find(") - ", pid_at);
  if (pid_end == std::string::npos) return "<malformed: " + line + ">";
  if (!LooksLikeTimestamp(line.substr(0, pid_at))) {
    return "<bad timestamp: " + line.substr(0, pid_at) + ">";
  }
  std::string pid = line.substr(pid_at + 7, pid_end - pid_at - 7);
  if (pid != std::to_string(getpid())) return "<pid " + pid + ">";
  return line.substr(pid_end + 4);
}

TEST(LogQuote, OutsideTextCannotBreakTheLine) {
  const struct {
    const char* text;
    const char* shown;
  } cases[] = {
      {"plain text, tabs\tand \xe9", "plain text, tabs\tand \xe9"},
      {"a\nb\r\nc\rd", "a\\nb\\r\\nc\\rd"},
      {"\x01\x1b[31m\x7f\x1f", "\\x01\\x1B[31m\\x7F\\x1F"},
      {"back\\slash", "back\\slash"},
      {nullptr, "(null)"},
  };
  for (const auto& c : cases) {
    EXPECT_STREQ(c.shown, log_quote(1, c.text)) << c.shown;
  }
  // A text that needs nothing is not copied.
  const char* plain = "as it is";
  EXPECT_EQ(plain, log_quote(0, plain));
}

TEST(LogTimestamp, DaySuffixMonthYearAndTwelveHourClock) {
  struct Case {
    OsLocalTime time;
    const char* expected;
  } cases[] = {
      {{2027, 1, 1, 0, 5, 9}, "1st January 2027,  0:05:09 am"},
      {{2027, 2, 2, 9, 30, 0}, "2nd February 2027,  9:30:00 am"},
      {{2027, 3, 3, 12, 0, 0}, "3rd March 2027,  12:00:00 pm"},
      {{2027, 4, 4, 13, 1, 2}, "4th April 2027,  1:01:02 pm"},
      {{2027, 5, 10, 11, 59, 59}, "10th May 2027,  11:59:59 am"},
      {{2027, 6, 11, 1, 0, 0}, "11th June 2027,  1:00:00 am"},
      {{2027, 7, 12, 0, 0, 0}, "12th July 2027,  0:00:00 am"},
      {{2027, 8, 13, 23, 59, 1}, "13th August 2027,  11:59:01 pm"},
      {{2027, 9, 19, 12, 59, 59}, "19th September 2027,  12:59:59 pm"},
      {{2027, 10, 20, 22, 10, 10}, "20th October 2027,  10:10:10 pm"},
      {{2027, 11, 21, 6, 7, 8}, "21st November 2027,  6:07:08 am"},
      {{2026, 12, 7, 23, 49, 36}, "7th December 2026,  11:49:36 pm"},
      {{2002, 3, 18, 9, 11, 12}, "18th March 2002,  9:11:12 am"},
      {{2030, 1, 22, 15, 0, 0}, "22nd January 2030,  3:00:00 pm"},
      {{2030, 1, 23, 15, 0, 0}, "23rd January 2030,  3:00:00 pm"},
      {{2030, 1, 31, 15, 0, 0}, "31st January 2030,  3:00:00 pm"},
      {{999, 1, 30, 15, 0, 0}, "30th January 0999,  3:00:00 pm"},
  };
  TextBuffer* out = text_buffer_new("");
  for (const Case& c : cases) {
    log_format_timestamp(c.time, out);
    EXPECT_STREQ(c.expected, out->data);
  }
  text_buffer_free(out);
}

TEST_F(LogTest, WritesTimestampPidAndMessageLines) {
  log_event(LOG_DEBUG, "getting form info.");
  log_event(LOG_ERROR, "wsock: (%s) %d", "connect", 10061);
  log_event(LOG_DEBUG, "RECV(%d):[%d] {%s}\n", 3, 4, "250 OK");
  log_event(LOG_DEBUG, "%s", "100% %s outside text");
  std::vector<std::string> lines = Lines();
  ASSERT_EQ(5u, lines.size()) << Contents();
  EXPECT_EQ("getting form info.", MessageOf(lines[0]));
  EXPECT_EQ("wsock: (connect) 10061", MessageOf(lines[1]));
  // A message that ends in a line end leaves an empty line behind it.
  EXPECT_EQ("RECV(3):[4] {250 OK}", MessageOf(lines[2]));
  EXPECT_EQ("", lines[3]);
  EXPECT_EQ("100% %s outside text", MessageOf(lines[4]));
  EXPECT_EQ('\n', Contents().back());
}

TEST_F(LogTest, AppendsToWhatTheFileHolds) {
  {
    std::ofstream out(path_, std::ios::binary);
    out << "earlier line\n";
  }
  log_event(LOG_ERROR, "later");
  std::vector<std::string> lines = Lines();
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ("earlier line", lines[0]);
  EXPECT_EQ("later", MessageOf(lines[1]));
}

TEST_F(LogTest, LinesFollowTheNameWhenTheLogIsRotatedOrRemoved) {
  // Rotation by renaming: the old file keeps what it had, the next line
  // starts a new file under the name; removal: the next line creates it.
  std::string rotated = path_ + ".1";
  log_event(LOG_ERROR, "first");
  ASSERT_EQ(0, std::rename(path_.c_str(), rotated.c_str()));
  log_event(LOG_ERROR, "second");
  ASSERT_EQ(1u, Lines().size());
  EXPECT_EQ("second", MessageOf(Lines()[0]));
  ASSERT_EQ(0, std::remove(path_.c_str()));
  log_event(LOG_ERROR, "third");
  ASSERT_EQ(1u, Lines().size());
  EXPECT_EQ("third", MessageOf(Lines()[0]));
  std::ifstream old(rotated, std::ios::binary);
  std::string kept((std::istreambuf_iterator<char>(old)), std::istreambuf_iterator<char>());
  EXPECT_NE(std::string::npos, kept.find("- first\n")) << kept;
  EXPECT_EQ(std::string::npos, kept.find("second")) << kept;
  std::remove(rotated.c_str());
}

TEST_F(LogTest, LoggingSettingDecidesDebugLines) {
  struct Case {
    const char* logging;  // null: no setting read yet
    int level;
    bool written;
  } cases[] = {
      {nullptr, LOG_ERROR, true},    {nullptr, LOG_DEBUG, true},
      {"debug", LOG_DEBUG, true},    {"Debug", LOG_DEBUG, true},
      {"DEBUG", LOG_DEBUG, true},    {"debugging", LOG_DEBUG, true},
      {"DeBuG please", LOG_DEBUG, true},
      {"errors", LOG_DEBUG, false},  {"errors", LOG_ERROR, true},
      {"deb", LOG_DEBUG, false},     {"deb", LOG_ERROR, true},
      {"", LOG_DEBUG, false},        {"", LOG_ERROR, true},
      {" debug", LOG_DEBUG, false},  {" debug", LOG_ERROR, true},
      {nullptr, 0, false},           {nullptr, LOG_OUTCOME, true},
      {"debug", 0, false},           {"errors", LOG_OUTCOME, true},
      {"debug", 4, false},           {nullptr, 4, false},
      {"errors", -1, false},
  };
  for (const Case& c : cases) {
    std::remove(path_.c_str());
    g_log.logging = c.logging;
    EXPECT_EQ(c.written, log_level_enabled(c.level));
    log_event(c.level, "level %d", c.level);
    std::vector<std::string> lines = Lines();
    const char* shown = c.logging ? c.logging : "(absent)";
    if (c.written) {
      ASSERT_EQ(1u, lines.size()) << shown << " level " << c.level;
      EXPECT_EQ("level " + std::to_string(c.level), MessageOf(lines[0]));
    } else {
      EXPECT_TRUE(lines.empty()) << shown << " level " << c.level;
    }
    EXPECT_FALSE(g_log.busy);
  }
}

TEST_F(LogTest, CallDuringAnotherCallWritesNothing) {
  g_log.busy = true;
  log_event(LOG_ERROR, "nested");
  EXPECT_TRUE(g_log.busy);  // the outer call still owns the flag
  EXPECT_EQ("", Contents());
  g_log.busy = false;
  log_event(LOG_ERROR, "after");
  ASSERT_EQ(1u, Lines().size());
  EXPECT_FALSE(g_log.busy);
}

TEST_F(LogTest, UnwritableLogIsIgnored) {
  const char* paths[] = {"", "/nonexistent-quillon-dir/x.log", dir_.c_str()};
  for (const char* path : paths) {
    g_log.path = path;
    errno = EACCES;
    log_event(LOG_ERROR, "lost");
    EXPECT_FALSE(g_log.busy) << path;
    EXPECT_EQ(EACCES, errno) << path;  // the caller may still report it
  }
  g_log.path = path_.c_str();
  errno = ENOENT;
  log_event(LOG_ERROR, "kept");
  EXPECT_EQ(ENOENT, errno);
  ASSERT_EQ(1u, Lines().size());
}

// Messages up to 63000 characters need no spill area; longer ones allocate
// the log's own area, never the text buffers'.
TEST_F(LogTest, LongMessagesAreWrittenWhole) {
  std::string exact(63000, 'm');
  log_event(LOG_DEBUG, "%s", exact.c_str());
  EXPECT_EQ(nullptr, g_output_format.spill);
  std::string longer(63001, 'n');
  log_event(LOG_DEBUG, "%s", longer.c_str());
  EXPECT_NE(nullptr, g_output_format.spill);
  EXPECT_EQ(64000, g_output_format.spill_size);
  std::string doubling(63998, 'o');
  log_event(LOG_DEBUG, "%s", doubling.c_str());
  EXPECT_EQ(128000, g_output_format.spill_size);
  EXPECT_EQ(nullptr, g_buffer_format.spill);

  std::vector<std::string> lines = Lines();
  ASSERT_EQ(3u, lines.size());
  EXPECT_EQ(exact, MessageOf(lines[0]));
  EXPECT_EQ(longer, MessageOf(lines[1]));
  EXPECT_EQ(doubling, MessageOf(lines[2]));
}

TEST_F(LogTest, FullLogTakesOutcomeLinesOnlyAndAtTwiceItsLimitNothing) {
  g_log.max_bytes = 1000;
  std::string filler(600, 'x');
  log_event(LOG_ERROR, "%s", filler.c_str());  // under the limit
  log_event(LOG_ERROR, "%s", filler.c_str());  // takes it past: the note follows
  log_event(LOG_ERROR, "dropped");
  g_log.full = false;  // a later run finds the log full at its first line
  log_event(LOG_ERROR, "dropped too");
  log_event(LOG_OUTCOME, "outcome");
  std::vector<std::string> lines = Lines();
  ASSERT_EQ(4u, lines.size());
  EXPECT_EQ(0u, MessageOf(lines[2]).find("the log has reached log_max_kb (0 KB)"));
  EXPECT_EQ("outcome", MessageOf(lines[3]));
  std::string big(500, 'y');
  log_event(LOG_OUTCOME, "%s", big.c_str());  // still under twice the limit
  log_event(LOG_OUTCOME, "past twice the limit");
  EXPECT_EQ(5u, Lines().size());
}

}  // namespace
