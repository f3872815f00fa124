#include "smtp/dialogue.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "compose/envelope.h"
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
    EXPECT_EQ(0, send_dot_stuffed(c.content));
    EXPECT_EQ(c.wire, peer_received()) << c.content;
  }
  reset();
  EXPECT_EQ(0, send_dot_stuffed(""));
  EXPECT_EQ("", peer_received());
  g_smtp.socket = kNoSocket;
  EXPECT_EQ(-1, send_dot_stuffed(".x"));
}

TEST_F(DialogueTest, NoServerMeansNotSent) {
  EXPECT_EQ(0, smtp_dialogue(nullptr, "f@x.y", "t@x.y", "H: v\n", "b\n"));
  EXPECT_EQ("SMTP email server () did not respond.\n\n", log_text());

  reset();
  char unknown[] = "Nowhere.INVALID:25";
  EXPECT_EQ(0, smtp_dialogue(unknown, "f@x.y", "t@x.y", "H: v\n", "b\n"));
  EXPECT_STREQ("nowhere.invalid", unknown);
  EXPECT_EQ("SMTP email server (nowhere.invalid) did not respond.\n\n",
            log_text());

  reset();
  char no_port[] = "127.0.0.1:smtp";  // port 0
  EXPECT_EQ(0, smtp_dialogue(no_port, "f@x.y", "t@x.y", "H: v\n", "b\n"));
  EXPECT_EQ(
      "wsock: (127.0.0.1) Connection Refused\n\n"
      "SMTP email server (127.0.0.1) did not respond.\n\n",
      log_text());
}

// A minimal server for one connection: answers each command by its verb and
// records every byte it receives.
struct FakeServer {
  Listener listener;
  std::map<std::string, std::string> replies = {
      {"EHLO", "250-fake\r\n250 PIPELINING\r\n"},
      {"HELO", "250 fake\r\n"},
      {"MAIL", "250 ok\r\n"},
      {"RCPT", "250 ok\r\n"},
      {"DATA", "354 go\r\n"},
      {".", "250 queued\r\n"},
      {"QUIT", "221 bye\r\n"},
  };
  std::string received;
  std::thread thread;

  void start() { thread = std::thread([this] { serve(); }); }

  void say(int conn, const std::string& text) {
    (void)!write(conn, text.data(), text.size());
  }

  void serve() {
    int conn = accept(listener.fd, nullptr, nullptr);
    if (conn < 0) return;
    timeval limit{10, 0};  // a client that stops talking ends the session
    setsockopt(conn, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    say(conn, "220 fake ready\r\n");
    std::string pending;
    bool in_data = false;
    char buf[4096];
    ssize_t n;
    while ((n = read(conn, buf, sizeof buf)) > 0) {
      received.append(buf, static_cast<size_t>(n));
      pending.append(buf, static_cast<size_t>(n));
      for (;;) {
        if (in_data) {
          size_t end = pending.find("\r\n.\r\n");
          if (end == std::string::npos) break;
          pending.erase(0, end + 5);
          in_data = false;
          say(conn, replies["."]);
          continue;
        }
        size_t end = pending.find('\n');
        if (end == std::string::npos) break;
        std::string verb = pending.substr(0, 4);
        pending.erase(0, end + 1);
        say(conn, replies[verb]);
        if (verb == "QUIT") {
          close(conn);
          return;
        }
        in_data = verb == "DATA" && replies[verb].compare(0, 3, "354") == 0;
      }
    }
    close(conn);
  }
};

TEST_F(DialogueTest, ContentGoesOnlyAfter354AndOnly2xxCounts) {
  const char* kContent = "H: v\n\nb\n..c\n\r\n.\r\n";
  struct {
    bool helo;
    bool copies;
    const char* failing_verb;  // its reply is replaced by a refusal
    const char* wire;
    int result;
  } cases[] = {
      {true, false, nullptr, "HELO QUILLON\nMAIL FROM:<f@x.y>\nRCPT TO:<t@x.y>\n"
                             "DATA\n%CONTENT%QUIT\n", 1},
      {false, true, nullptr, "EHLO QUILLON\nMAIL FROM:<f@x.y>\nRCPT TO:<t@x.y>\n"
                             "RCPT TO:<b@x.y>\nRCPT TO:<c@x.y>\nDATA\n%CONTENT%"
                             "QUIT\n", 1},
      {false, false, "DATA", "EHLO QUILLON\nMAIL FROM:<f@x.y>\nRCPT TO:<t@x.y>\n"
                             "DATA\nQUIT\n", 0},
      {true, false, "DATA", "HELO QUILLON\nMAIL FROM:<f@x.y>\nRCPT TO:<t@x.y>\n"
                            "DATA\nQUIT\n", 0},
      {true, false, ".", "HELO QUILLON\nMAIL FROM:<f@x.y>\nRCPT TO:<t@x.y>\n"
                         "DATA\n%CONTENT%QUIT\n", 0},
      {false, false, ".", "EHLO QUILLON\nMAIL FROM:<f@x.y>\nRCPT TO:<t@x.y>\n"
                          "DATA\n%CONTENT%QUIT\n", 0},
  };
  for (const auto& c : cases) {
    reset();
    FakeServer server;
    if (c.failing_verb != nullptr) server.replies[c.failing_verb] = "554 no\r\n";
    server.start();
    g_settings.use_helo = c.helo;
    envelope_reset();
    if (c.copies) {
      g_envelope.bcc = strdup("b@x.y");  // envelope_reset frees them
      g_envelope.cc = strdup("c@x.y");
    }
    std::string address = "127.0.0.1:" + std::to_string(server.listener.port);
    int result = smtp_dialogue(&address[0], "f@x.y", "t@x.y", "H: v\n",
                               "b\n.c\n");
    close(static_cast<int>(g_smtp.socket));  // the program leaves it open
    server.thread.join();
    const char* label = c.failing_verb != nullptr ? c.failing_verb : "none";
    std::string wire = c.wire;
    size_t mark = wire.find("%CONTENT%");
    if (mark != std::string::npos) wire.replace(mark, 9, kContent);
    EXPECT_EQ(wire, server.received) << c.helo << label;
    EXPECT_EQ(c.result, result) << c.helo << label;
  }
  envelope_reset();
  g_settings.use_helo = false;
}

}  // namespace
