#include "compose/envelope.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "compose_fixture.h"
#include "config/settings.h"

namespace {

using EnvelopeTest = ComposeTest;

TEST_F(EnvelopeTest, ScanAddressTakesTheFirstWholeAddressWord) {
  static const struct {
    const char* text;
    const char* address;  // null: none found, and a debug line says so
  } cases[] = {
      {"Joe Bloggs <joe.bloggs@mail-1.test>", "joe.bloggs@mail-1.test"},
      {"first+tag@host", "first+tag@host"},
      {"a.b@c, d@e", "a.b@c"},
      {"user@host.name.", "user@host.name."},
      {"a@b@c", nullptr},
      {"x @y z@w", "z@w"},
      {"o'brien@x.test", "o'brien@x.test"},
      {"victim%y.test@x.test", "victim%y.test@x.test"},
      {"mail: a/b=c!d@x.test;", "a/b=c!d@x.test"},
      {"ab\xe9" "cd@ho\x80st", nullptr},
      {"j\xc3\xbcrgen@web.de", nullptr},  // needs SMTPUTF8: not "rgen@web.de"
      {"a\\b@x.test", nullptr},
      {"joe@x.test?", nullptr},
      {"(a_b-c@d_e-f)", "a_b-c@d_e-f"},
      {"a@@b", nullptr},
      {"@host", nullptr},
      {"user@", nullptr},
      {"From:", nullptr},
      {"", nullptr},
  };
  int misses = 0;
  for (const auto& c : cases) {
    char* found = scan_address(c.text);
    EXPECT_EQ(shown(c.address), shown(found)) << "scanning " << c.text;
    free(found);
    if (c.address == nullptr) {
      ++misses;
      EXPECT_EQ(1, in_log(std::string("no email address in this line (") + c.text + ")"));
    }
  }
  EXPECT_EQ(misses, in_log("no email address"));
  EXPECT_EQ(1, in_log("an address with letters outside ASCII before its @ is not used"));
}

TEST_F(EnvelopeTest, ReplyToTakesExactlyOneAddress) {
  static const struct {
    const char* value;
    const char* address;  // null: no Reply-To
    const char* why;
  } cases[] = {
      {"ann@example.org", "ann@example.org", nullptr},
      {"Ann O'Neil <ann@example.org>", "ann@example.org", nullptr},
      {"", nullptr, "it holds no address"},
      {"ann at example.org", nullptr, "it holds no address"},
      {"a@x.test b@y.test", nullptr, "it holds more than one address"},
      {"a@x.test, b@y.test", nullptr, "it holds a line break or a comma"},
      {"a@x.test\r\nBcc: b@y.test", nullptr, "it holds a line break or a comma"},
      {"J\xc3\xbcrgen <j\xc3\xbcrgen@web.de>", nullptr,
       "its address has letters outside ASCII before the @, which not every mail server on "
       "the way takes"},
  };
  for (const auto& c : cases) {
    const char* why = nullptr;
    char* found = reply_to_address(c.value, &why);
    EXPECT_EQ(shown(c.address), shown(found)) << c.value;
    EXPECT_EQ(shown(c.why), shown(why)) << c.value;
    free(found);
  }
  EXPECT_EQ(0, in_log("no email address"));
}

struct Entry {
  const char* text;
  const char* value;
  int accepted;
};

TEST_F(EnvelopeTest, ClassifyHeaderFillsEachSlotFromTheFirstUsableEntry) {
  const struct {
    bool bare_names;  // add_headerline_colon
    std::vector<Entry> entries;
    const char* from;
    const char* to;
    const char* cc;
    const char* bcc;
    bool subject;
  } cases[] = {
      {false, {{"From: a@one", "b@v", 1}, {"From: b@two", "", 0}},
       "a@one", nullptr, nullptr, nullptr, false},
      {false, {{"From: nobody", "", 0}, {"From:", "b@two", 1}},
       "b@two", nullptr, nullptr, nullptr, false},
      {false, {{"to:", "joe@x", 1}, {"To: b@x", "", 0}},
       nullptr, "joe@x", nullptr, nullptr, false},
      {false, {{"To", "joe@x", 0}, {"Subject", "Hi", 0}},
       nullptr, nullptr, nullptr, nullptr, false},
      {true, {{"To", "joe@x", 1}, {"Subject", "Hi", 1}},
       nullptr, "joe@x", nullptr, nullptr, true},
      {false, {{"BCC: hid@x", "", 1}, {"CC: copy@x", "", 1}},
       nullptr, nullptr, "copy@x", "hid@x", false},
      {false, {{"Subject: Hello", "", 1}, {"SUBJECT:", "", 1}},
       nullptr, nullptr, nullptr, nullptr, true},
      {true, {{"Reply-To: r@x", "", 0}, {"Status:", "s@x", 0}, {"T", "", 0}},
       nullptr, nullptr, nullptr, nullptr, false},
      // Bare names are prefixes too: a variable called Topic counts as To.
      {true, {{"Topic", "t@x", 1}}, nullptr, "t@x", nullptr, nullptr, false},
  };
  for (const auto& c : cases) {
    fresh();
    settings_.add_headerline_colon = c.bare_names;
    for (const Entry& e : c.entries) {
      EXPECT_EQ(e.accepted != 0,
                classify_header(&envelope_, settings_.add_headerline_colon, e.text, e.value))
          << e.text;
    }
    const char* first = c.entries[0].text;
    EXPECT_EQ(shown(c.from), shown(envelope_.from)) << first;
    EXPECT_EQ(shown(c.to), shown(envelope_.to)) << first;
    EXPECT_EQ(shown(c.cc), shown(envelope_.cc)) << first;
    EXPECT_EQ(shown(c.bcc), shown(envelope_.bcc)) << first;
    EXPECT_EQ(c.subject, envelope_.subject_found) << first;
  }
}

TEST_F(EnvelopeTest, EntryWithoutAddressLogsEveryScan) {
  EXPECT_FALSE(classify_header(&envelope_, settings_.add_headerline_colon, "From:", ""));
  EXPECT_EQ(2, in_log("no email address in this line"));
  settings_.add_headerline_colon = true;
  EXPECT_FALSE(classify_header(&envelope_, settings_.add_headerline_colon, "From:", ""));
  EXPECT_EQ(6, in_log("no email address in this line"));
}

}  // namespace
