#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "base/utf8.h"
#include "deliver/webhook_file.h"
#include "deliver/webhook_format.h"
#include "deliver/webhook_sign.h"

namespace {

std::string body_of(WebhookFormat format, const WebhookEvent& event,
                    const char* url = "https://example.com/hook") {
  size_t length = 0;
  char* data = webhook_body(format, event, url, &length);
  std::string body(data, length);
  free(data);
  return body;
}

// The example Standard Webhooks publishes, as its libraries test it.
TEST(WebhookSign, SignsAsTheReferenceExample) {
  const char secret[] = "whsec_MfKQ9r8GKYqrTwjUPD8ILPZIo2LaLaSw";
  unsigned char key[kWebhookKeySize];
  size_t key_length = 0;
  ASSERT_TRUE(webhook_secret_key(secret, strlen(secret), key, &key_length));
  const char body[] = "{\"test\": 2432232314}";
  char signature[kWebhookSignatureSize];
  webhook_signature(key, key_length, "msg_p5jXN8AQM9LWM0D4loKWxJek", 1614265330, body,
                    strlen(body), signature);
  EXPECT_STREQ(signature, "v1,g0hM9SsE+OTPJTGt/tmIKtSyZlE3uFJELVlNIOLJ1OE=");
  // A key longer than a block is hashed first, as HMAC says.
  std::string long_secret = "whsec_" + std::string(96, 'A');
  ASSERT_TRUE(webhook_secret_key(long_secret.c_str(), long_secret.size(), key, &key_length));
  EXPECT_EQ(key_length, 72u);
  for (const char* bad : {"whsec_", "whsec_not base64!", "", "whsec_QUJD\n"}) {
    EXPECT_FALSE(webhook_secret_key(bad, strlen(bad), key, &key_length)) << bad;
  }
}

TEST(WebhookFile, RetryScheduleGrowsAndStopsAtTheLimit) {
  const long long t0 = 1767793501;
  const long long day = 86400;
  const struct {
    int attempts;
    long long now;
    long long retry_after;
    long long next;  // -1: given up
  } cases[] = {
      {1, t0, -1, t0 + 60},
      {2, t0 + 60, -1, t0 + 360},
      {3, t0, -1, t0 + 1800},
      {4, t0, -1, t0 + 7200},
      {5, t0, -1, t0 + 43200},
      {6, t0, -1, t0 + day},
      {40, t0 + day, -1, t0 + 2 * day},
      {7, t0 + 2 * day + 100, -1, t0 + 3 * day},  // the last try when the days are up
      {8, t0 + 3 * day, -1, -1},
      {1, t0, 600, t0 + 600},                     // Retry-After
      {1, t0, 0, t0 + 1},
      {1, t0, 10 * day, t0 + 3 * day},            // ...not past the limit
  };
  for (const auto& c : cases) {
    EXPECT_EQ(webhook_next_try(c.attempts, t0, c.now, c.retry_after, 3), c.next)
        << c.attempts << " " << c.now - t0;
  }
}

TEST(WebhookFile, RetryAfterIsSecondsOrAnHttpDate) {
  const long long now = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT
  EXPECT_EQ(webhook_retry_after("120", now), 120);
  EXPECT_EQ(webhook_retry_after("Sun, 06 Nov 1994 08:51:37 GMT", now), 120);
  EXPECT_EQ(webhook_retry_after("Sun, 06 Nov 1994 08:00:00 GMT", now), 0);
  for (const char* bad : {"", "soon", "-5", "12 s", "Sun, 06 Nov 1994 08:51:37 CET"}) {
    EXPECT_EQ(webhook_retry_after(bad, now), -1) << bad;
  }
  EXPECT_EQ(webhook_retry_after(nullptr, now), -1);
}

TEST(WebhookFile, WhatIsWrittenReadsBackAndDamageIsRefused) {
  HookFile hook = {};
  hook.webhook = 2;
  snprintf(hook.url, sizeof hook.url, "https://example.com/in");
  hook.format = WebhookFormat::kDiscord;
  snprintf(hook.id, sizeof hook.id, "20260107T134501.123456Z_web1_42_9f86d081884c7d65_2");
  hook.first_try = 100;
  hook.next_try = 160;
  hook.attempts = 1;
  snprintf(hook.last, sizeof hook.last, "HTTP 503");
  hook.body = "{\"content\": \"a\\nb\"}\n\n";
  hook.body_length = strlen(hook.body);
  size_t length = 0;
  char* data = hook_file_format(hook, &length);
  HookFile read;
  const char* why = "";
  ASSERT_TRUE(hook_file_parse(data, length, &read, &why)) << why;
  EXPECT_EQ(read.webhook, 2);
  EXPECT_STREQ(read.url, hook.url);
  EXPECT_EQ(read.format, WebhookFormat::kDiscord);
  EXPECT_STREQ(read.id, hook.id);
  EXPECT_EQ(read.next_try, 160);
  EXPECT_EQ(read.attempts, 1);
  EXPECT_STREQ(read.last, "HTTP 503");
  EXPECT_EQ(std::string(read.body, read.body_length), hook.body);
  std::string text(data, length);
  free(data);
  const char* const damages[][2] = {
      {"QUILLON spool 2", "QUILLON spool 1"}, {"format: discord", "format: yaml"},
      {"next-try: 160", "next-try: soon"},    {"attempts: 1\n", ""},
      {"destination: webhook 2", "destination: mail"}, {"\n\n{", "\n{"},
  };
  for (const auto& damage : damages) {
    std::string broken = text;
    broken.replace(broken.find(damage[0]), strlen(damage[0]), damage[1]);
    EXPECT_FALSE(hook_file_parse(broken.data(), broken.size(), &read, &why)) << damage[0];
  }
  size_t base = 0;
  EXPECT_TRUE(hook_file_name_parse("20260107T134501.123456Z_web1_42_9f86d081884c7d65_hook3.txt",
                                   &base));
  EXPECT_EQ(base, 48u);
  EXPECT_FALSE(hook_file_name_parse("20260107T134501.123456Z_web1_42_9f86d081884c7d65_1.txt",
                                    &base));
  EXPECT_FALSE(hook_file_name_parse("x_hook3.txt", &base));
  // A hook held for a message in queue/ reads back held there, not in quarantine/.
  snprintf(hook.held, sizeof hook.held, "N1");
  for (bool in_queue : {false, true}) {
    hook.held_in_queue = in_queue;
    data = hook_file_format(hook, &length);
    ASSERT_TRUE(hook_file_parse(data, length, &read, &why)) << why;
    free(data);
    EXPECT_STREQ(read.held, "N1");
    EXPECT_EQ(read.held_in_queue, in_queue);
  }
}

WebhookEvent sample_event(const WebhookField* fields, int count) {
  static const WebhookFile kFiles[] = {{"cv", "cv \"1\".pdf", "application/pdf", 1234}};
  WebhookEvent event = {};
  event.id = "ID";
  event.time = 1767793501;
  event.form = "contact";
  event.subject = "Hello";
  event.fields = fields;
  event.field_count = count;
  event.files = kFiles;
  event.file_count = 1;
  event.mail_outcome = "sent";
  event.message_id = "abc@example.com";
  return event;
}

TEST(WebhookFormat, JsonEventGroupsNamesAndRepairsUtf8) {
  const WebhookField fields[] = {
      {"name", "Jo\xe9"}, {"topic", "a"}, {"topic", "b\n\"c\""}, {"\xff", "\xc3\xa9"}};
  std::string body = body_of(WebhookFormat::kJson, sample_event(fields, 4));
  EXPECT_EQ(body,
            "{\"type\": \"submission\", \"id\": \"ID\", \"time\": \"2026-01-07T13:45:01Z\", "
            "\"form\": \"contact\", \"fields\": {\"name\": \"Jo\xef\xbf\xbd\", \"topic\": "
            "[\"a\", \"b\\u000a\\\"c\\\"\"], \"\xef\xbf\xbd\": \"\xc3\xa9\"}, \"files\": "
            "[{\"field\": \"cv\", \"name\": \"cv \\\"1\\\".pdf\", \"type\": \"application/pdf\", "
            "\"size\": 1234}], \"mail\": {\"outcome\": \"sent\", \"message_id\": "
            "\"abc@example.com\"}}");
  WebhookEvent no_mail = sample_event(fields, 1);
  no_mail.mail_outcome = nullptr;
  EXPECT_NE(body_of(WebhookFormat::kJson, no_mail).find("\"mail\": null}"), std::string::npos);
}

// What the visitor's text becomes in each chat format's text.
TEST(WebhookFormat, ChatTextCannotMentionOrBreakMarkup) {
  const struct {
    WebhookFormat format;
    const char* text;
    const char* escaped;
  } cases[] = {
      {WebhookFormat::kSlack, "<!channel> <@U1> a&b", "&lt;!channel&gt; &lt;@U1&gt; a&amp;b"},
      {WebhookFormat::kSlack, "*bold* @here", "*bold* @here"},
      {WebhookFormat::kMattermost, "@all hi", "@\xE2\x80\x8B" "all hi"},
      {WebhookFormat::kMattermost, "<!channel> [x](y)", "\\<!channel\\> \\[x\\]\\(y\\)"},
      {WebhookFormat::kDiscord, "@everyone <@123>", "@\xE2\x80\x8B" "everyone \\<@\xE2\x80\x8B" "123\\>"},
      {WebhookFormat::kDiscord, "```x``` **y** \\", "\\`\\`\\`x\\`\\`\\` \\*\\*y\\*\\* \\\\"},
      {WebhookFormat::kTeams, "_a_ # b", "\\_a\\_ \\# b"},
      {WebhookFormat::kNtfy, "Priority: 5 <b>", "Priority: 5 <b>"},
  };
  for (const auto& c : cases) {
    TextBuffer* out = text_buffer_new("");
    webhook_escape_chat(c.format, c.text, strlen(c.text), out);
    EXPECT_EQ(std::string(out->data), c.escaped) << webhook_format_name(c.format) << " " << c.text;
    text_buffer_free(out);
  }
}

TEST(WebhookFormat, ChatBodiesHaveEachServiceShape) {
  const WebhookField fields[] = {{"name", "Jo"}};
  WebhookEvent event = sample_event(fields, 1);
  const struct {
    WebhookFormat format;
    const char* begins;
    const char* holds;
  } cases[] = {
      {WebhookFormat::kSlack, "{\"text\": \"New submission to contact: Hello\\u000aname: Jo\\u000a",
       "file cv: cv \\\"1\\\".pdf (1234 bytes)"},
      {WebhookFormat::kMattermost, "{\"text\": ", "name: Jo"},
      {WebhookFormat::kDiscord, "{\"content\": ", ", \"allowed_mentions\": {\"parse\": []}}"},
      {WebhookFormat::kNtfy, "{\"topic\": \"alerts\", \"title\": \"New submission to contact: Hello\", "
                             "\"message\": \"name: Jo\\u000a", ""},
      {WebhookFormat::kTeams, "{\"type\": \"message\", \"attachments\": [{\"contentType\": "
                              "\"application/vnd.microsoft.card.adaptive\"",
       "\"type\": \"AdaptiveCard\""},
  };
  for (const auto& c : cases) {
    std::string body = body_of(c.format, event, "https://ntfy.example.com/alerts");
    EXPECT_EQ(body.rfind(c.begins, 0), 0u) << body;
    EXPECT_NE(body.find(c.holds), std::string::npos) << body;
  }
  char root[100];
  char topic[100];
  EXPECT_TRUE(webhook_ntfy_split("https://n.example/t1", root, 100, topic, 100));
  EXPECT_STREQ(root, "https://n.example/");
  EXPECT_STREQ(topic, "t1");
  EXPECT_FALSE(webhook_ntfy_split("https://n.example/a/b", root, 100, topic, 100));
  EXPECT_FALSE(webhook_ntfy_split("https://n.example/", root, 100, topic, 100));
}

TEST(WebhookFormat, DiscordContentIsCutToItsLimitWithANote) {
  std::string long_value(3000, 'x');
  long_value[1929] = '*';  // its escape would straddle the cut
  std::string accents;
  for (int i = 0; i < 2500; ++i) accents += "\xc3\xa9";
  for (const std::string& value : {long_value, accents}) {
    const WebhookField fields[] = {{"message", value.c_str()}};
    std::string body = body_of(WebhookFormat::kDiscord, sample_event(fields, 1));
    size_t start = body.find("\"content\": \"") + 12;
    size_t end = body.find("\", \"allowed_mentions\"");
    std::string content = body.substr(start, end - start);
    // Each escape of the JSON text ("\u000a", "\\") is one character.
    size_t characters = 0;
    for (size_t i = 0; i < content.size(); ++i) {
      if (content[i] == '\\') i += content[i + 1] == 'u' ? 5 : 1;
      characters += (static_cast<unsigned char>(content[i]) & 0xC0) != 0x80;
    }
    EXPECT_LE(characters, 2000u);
    EXPECT_GE(characters, 1990u);
    EXPECT_NE(content.find("[cut: "), std::string::npos);
    EXPECT_TRUE(utf8_valid(body.data(), body.size()));
  }
}

}  // namespace
