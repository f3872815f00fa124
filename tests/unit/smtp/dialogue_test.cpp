#include "smtp/dialogue.h"

#include <string>

#include <gtest/gtest.h>

#include "smtp/steps.h"
#include "smtp_fixture.h"

namespace {

using DialogueTest = SmtpTest;

TEST(SmtpPort, ReadLikeAtoiAndTakenModulo65536) {
  struct {
    const char* text;
    int port;
  } cases[] = {
      {"587", 587},  {"  587x", 587}, {"\t+26", 26},    {"25:26", 25},
      {"abc", 0},    {"", 0},         {"- 5", 0},       {"70000", 4464},
      {"-1", 65535}, {"65536", 0},    {"4294967321", 25},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.port, smtp_port_from_text(c.text)) << '"' << c.text << '"';
  }
}

TEST_F(DialogueTest, LinesBeginningWithADotGetAnotherDot) {
  struct {
    const char* content;
    const char* wire;
  } cases[] = {
      {"plain\nlines\n", "plain\nlines\n"},
      {".", ".."},
      {".\n", "..\n"},
      {"a\n.\nb", "a\n..\nb"},
      {"..x\r\n.y\r\n", "...x\r\n..y\r\n"},
      {"a.b\n x.\n", "a.b\n x.\n"},
      {"\r.\n", "\r.\n"},  // only an LF starts a line
      {"\n.", "\n.."},
  };
  for (const auto& c : cases) {
    reset();
    EXPECT_EQ(0, send_dot_stuffed(session(), c.content));
    EXPECT_EQ(c.wire, peer_received()) << c.content;
  }
  reset();
  EXPECT_EQ(0, send_dot_stuffed(session(), ""));
  EXPECT_EQ("", peer_received());
  session()->socket = kNoSocket;
  EXPECT_EQ(-1, send_dot_stuffed(session(), ".x"));
}

TEST_F(DialogueTest, NoServerMeansNotSent) {
  const SmtpEnvelope envelope = {"f@x.y", "t@x.y", nullptr, nullptr};
  const SmtpContent content = {"H: v\n", "b\n", nullptr, nullptr};
  EXPECT_FALSE(smtp_dialogue(session(), nullptr, {envelope, content, nullptr, nullptr}).sent);
  EXPECT_EQ("SMTP email server () did not respond.\n\n", log_text());

  reset();
  EXPECT_FALSE(smtp_dialogue(session(), "Nowhere.INVALID:25", {envelope, content, nullptr, nullptr}).sent);
  EXPECT_EQ("SMTP email server (nowhere.invalid port 25): the name could not be resolved.\n"
            "SMTP email server (nowhere.invalid) did not respond.\n\n",
            log_text());

  reset();
  EXPECT_FALSE(smtp_dialogue(session(), "127.0.0.1:smtp", {envelope, content, nullptr, nullptr}).sent);  // port 0
  EXPECT_EQ(
      "wsock: (127.0.0.1 port 0) Connection Refused\n\n"
      "SMTP email server (127.0.0.1) did not respond.\n\n",
      log_text());

  // An address no command line holds: not even a connection, never a cut.
  reset();
  std::string long_address(10000, 'a');
  const SmtpEnvelope too_long = {"f@x.y", long_address.c_str(), nullptr, nullptr};
  EXPECT_FALSE(smtp_dialogue(session(), "127.0.0.1:smtp", {too_long, content, nullptr, nullptr}).sent);
  EXPECT_EQ(
      "an envelope address does not fit an SMTP command line of 9998 characters; the mail "
      "was not sent.\n",
      log_text());
}

}  // namespace
