#include "deliver/spool_file.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string shown(const char* text) { return text != nullptr ? text : "(none)"; }

TEST(SpoolFile, WhatIsWrittenReadsBackTheSame) {
  char from[] = "form@example.com";
  char to[] = "owner@example.com";
  char cc[] = "copy@example.com";
  char bcc[] = "hidden@example.com";
  char header_lf[] = "To: owner@example.com\nSubject: Hi\n";
  char body_lf[] = " Name: Joe\n\n.dot\n";
  char header_crlf[] = "To: owner@example.com\r\nSubject: Hi\r\n";
  char body_crlf[] = " Name: Joe\r\n\r\n";
  char client[] = "2001:db8::1";
  const SpoolMessage cases[] = {
      {"\n", from, to, nullptr, nullptr, header_lf, body_lf},
      {"\r\n", from, to, cc, bcc, header_crlf, body_crlf},
      // Its files still to be scanned for viruses: format 2.
      {"\n", from, to, nullptr, nullptr, header_lf, body_lf, SpoolDestination::kMail, 0, "", true},
      // Still to be judged by the shared state, by its client and digest.
      {"\n", from, to, nullptr, nullptr, header_lf, body_lf, SpoolDestination::kMail, 0, "", true,
       true, client, "0123456789abcdef0123456789abcdef"},
      {"\n", from, to, nullptr, nullptr, header_lf, body_lf, SpoolDestination::kMail, 0, "", false,
       true, nullptr, ""},
  };
  for (const SpoolMessage& written : cases) {
    size_t length = 0;
    char* data = spool_format(written, &length);
    SpoolMessage read;
    const char* why = "";
    ASSERT_TRUE(spool_parse(data, length, &read, &why)) << why << "\n" << data;
    EXPECT_STREQ(written.line_ending, read.line_ending);
    EXPECT_EQ(shown(written.from), shown(read.from));
    EXPECT_EQ(shown(written.to), shown(read.to));
    EXPECT_EQ(shown(written.cc), shown(read.cc));
    EXPECT_EQ(shown(written.bcc), shown(read.bcc));
    EXPECT_EQ(shown(written.header_block), shown(read.header_block));
    EXPECT_EQ(shown(written.body), shown(read.body));
    EXPECT_EQ(written.scan_pending, read.scan_pending);
    EXPECT_EQ(written.judge_shared_state, read.judge_shared_state);
    EXPECT_EQ(shown(written.client), shown(read.client));
    EXPECT_STREQ(written.duplicate, read.duplicate);
    spool_message_free(&read);
    free(data);
  }
}

TEST(SpoolFile, FilesThatCannotBeSentAreRefused) {
  const std::string envelope = "QUILLON spool 1\nline-ending: LF\nmail-from: a@x\nrcpt-to: b@x\n";
  const std::string message = "\nSubject: s\n\nbody\n";
  static const char kNul[] = "\nSubject: s\n\nnul\0byte\n";
  const struct {
    std::string data;
    bool readable;
  } cases[] = {
      {envelope + message, true},
      {"QUILLON spool 1\r\nline-ending: LF\r\nmail-from: a@x\r\nrcpt-to: b@x\r\n\r\n"
       "Subject: s\n\nbody\n", true},
      {envelope + "\n\nbody only\n", true},
      {"QUILLON spool 2\nline-ending: LF\nmail-from: a@x\nrcpt-to: b@x\n" + message, false},
      {"QUILLON spool 1\nline-ending: LF\nmail-from: a@x\n" + message, false},
      {"QUILLON spool 1\nmail-from: a@x\nrcpt-to: b@x\n" + message, false},
      {"QUILLON spool 1\nline-ending: CR\nmail-from: a@x\nrcpt-to: b@x\n" + message, false},
      {envelope + "rcpt-to: c@x\n" + message, false},
      {envelope + "rcpt-too: c@x\n" + message, false},
      {envelope + "rcpt-cc: c@x>\r\nRCPT TO:<d@x\n" + message, false},
      {envelope + "rcpt-cc: \n" + message, false},
      {envelope, false},
      {envelope + "\nSubject: no end of the headers\n", false},
      {envelope + std::string(kNul, sizeof kNul - 1), false},
      {envelope + "judge: shared_state\nclient: 192.0.2.1\n" + message, true},
      {envelope + "judge: spam\n" + message, false},
      {envelope + "client: 192.0.2.1\nclient: 192.0.2.2\n" + message, false},
      {envelope + "client: 192.0.2.1 <b@x>\n" + message, false},
      {envelope + "duplicate: 0123456789abcdef\n" + message, false},
      {envelope + "duplicate: 0123456789ABCDEF0123456789ABCDEF\n" + message, false},
  };
  for (const auto& c : cases) {
    SpoolMessage read;
    const char* why = "";
    EXPECT_EQ(c.readable, spool_parse(c.data.data(), c.data.size(), &read, &why)) << c.data;
    spool_message_free(&read);
  }
}

TEST(SpoolFile, FormatTwoNamesItsDestination) {
  const std::string mail = "line-ending: LF\nmail-from: a@x\nrcpt-to: b@x\n\nSubject: s\n\nbody\n";
  const struct {
    std::string data;
    bool readable;
    SpoolDestination destination;
    int webhook;
  } cases[] = {
      {"QUILLON spool 2\ndestination: mail\n" + mail, true, SpoolDestination::kMail, 0},
      {"QUILLON spool 2\r\ndestination: webhook 3\r\n{}", true, SpoolDestination::kWebhook, 3},
      {"QUILLON spool 2\ndestination: record\n", true, SpoolDestination::kRecord, 0},
      {"QUILLON spool 2\ndestination: fax\n" + mail, true, SpoolDestination::kUnknown, 0},
      {"QUILLON spool 2\ndestination: webhook x\n", true, SpoolDestination::kUnknown, 0},
      {"QUILLON spool 2\ndestination: mail\nline-ending: LF\n\nSubject: s\n\n", false,
       SpoolDestination::kMail, 0},
      {"QUILLON spool 2\n" + mail, false, SpoolDestination::kMail, 0},
      // A quarantined copy's verdict lines, each once.
      {"QUILLON spool 2\ndestination: mail\nverdict: refused\nmark: spam\nreasons: a, b\n" +
           mail, true, SpoolDestination::kMail, 0},
      {"QUILLON spool 2\ndestination: mail\nmark: spam\nmark: infected\n" + mail, false,
       SpoolDestination::kMail, 0},
  };
  for (const auto& c : cases) {
    SpoolMessage read;
    const char* why = "";
    ASSERT_EQ(c.readable, spool_parse(c.data.data(), c.data.size(), &read, &why)) << c.data;
    EXPECT_EQ(static_cast<int>(c.destination), static_cast<int>(read.destination)) << c.data;
    EXPECT_EQ(c.webhook, read.webhook);
    if (c.readable && c.destination == SpoolDestination::kMail) {
      EXPECT_STREQ("b@x", read.to);
      EXPECT_STREQ("body\n", read.body);
    }
    spool_message_free(&read);
  }
}

TEST(SpoolName, PartsOfQueueAndWorkNames) {
  const char* base = "20260107T134501.123456Z_web-1.example.com_4242_9f86d081884c7d65";
  const struct {
    std::string name;
    bool folder;
    bool valid;
    int attempts;
  } cases[] = {
      {std::string(base) + "_new.txt", false, true, -1},
      {std::string(base) + "_0.txt", false, true, 0},
      {std::string(base) + "_19.txt", false, true, 19},
      {base, true, true, 0},
      {base, false, false, 0},
      {std::string(base) + "_new.txt", true, false, 0},
      {std::string(base) + ".txt", false, false, 0},
      {std::string(base) + "_3.txt~", false, false, 0},
      {std::string(base) + "_.txt", false, false, 0},
      {"20261307T134501.123456Z_web_4242_9f86d081884c7d65_1.txt", false, false, 0},
      {"20260107T134501.123456Z__4242_9f86d081884c7d65_1.txt", false, false, 0},
      {"20260107T134501.123456Z_web_4242_9F86D081884C7D65_1.txt", false, false, 0},
      {"20260107T134501.123456Z_web_4242_9f86d081884c7d6_1.txt", false, false, 0},
      {"20260107T134501Z_web_4242_9f86d081884c7d65_1.txt", false, false, 0},
      {"notes.txt", false, false, 0},
  };
  for (const auto& c : cases) {
    SpoolName parsed;
    ASSERT_EQ(c.valid, spool_parse_name(c.name.c_str(), c.folder, &parsed)) << c.name;
    if (!c.valid) continue;
    EXPECT_EQ(c.attempts, parsed.attempts) << c.name;
    EXPECT_EQ(1767793501LL, parsed.seconds) << c.name;  // 2026-01-07 13:45:01 UTC
    EXPECT_STREQ("web-1.example.com", parsed.host) << c.name;
    EXPECT_EQ(4242, parsed.pid) << c.name;
    EXPECT_EQ(strlen(base), parsed.base_length) << c.name;
  }
}

TEST(SpoolName, MadeFromTimeHostPidAndRandomBytes) {
  const unsigned char random[8] = {0x9f, 0x86, 0xd0, 0x81, 0x88, 0x4c, 0x7d, 0x65};
  char host[kSpoolHostPart + 1];
  spool_host_part("web-1.example.com", host, sizeof host);
  char name[kSpoolNameSize];
  spool_base_name(1767793501123456LL, host, 4242, random, name, sizeof name);
  EXPECT_STREQ("20260107T134501.123456Z_web-1.example.com_4242_9f86d081884c7d65", name);

  // Other characters become "-"; a long name is cut and keeps a hash of the rest.
  spool_host_part("web_1 x", host, sizeof host);
  EXPECT_STREQ("web-1-x", host);
  spool_host_part("", host, sizeof host);
  EXPECT_STREQ("host", host);
  char other[kSpoolHostPart + 1];
  spool_host_part(std::string(50, 'a').c_str(), host, sizeof host);
  spool_host_part((std::string(49, 'a') + "b").c_str(), other, sizeof other);
  EXPECT_EQ(kSpoolHostPart, strlen(host));
  EXPECT_STRNE(host, other);
}

}  // namespace

TEST(SpoolFile, QuarantinedCopyKeepsItsVerdictOnOneLine) {
  char from[] = "a@x", to[] = "b@x", header[] = "Subject: s\n", body[] = "body\n";
  SpoolMessage message = {"\n", from, to, nullptr, nullptr, header, body};
  SpoolVerdict verdict = {"quarantined", "spam", "word \"x\"\r\nInjected: yes", "14.20",
                          86400LL * 365};
  size_t length = 0;
  char* data = spool_format_quarantined(message, verdict, &length);
  SpoolMessage read;
  const char* why = "";
  ASSERT_TRUE(spool_parse(data, length, &read, &why)) << why;
  EXPECT_STREQ(read.verdict, "quarantined");
  EXPECT_STREQ(read.reasons, "word \"x\"  Injected: yes");
  EXPECT_STREQ(read.score, "14.20");
  EXPECT_STREQ(read.time, "1971-01-01T00:00:00Z");
  EXPECT_STREQ(read.body, "body\n");
  spool_message_free(&read);
  free(data);
}
