#include "guard/spam_engine.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(SpamEngine, ReadsRspamdAnswers) {
  const char answer[] =
      "{\"is_skipped\":false,\"score\":15.5,\"required_score\":15,\"action\":\"reject\","
      "\"symbols\":{\"GTUBE\":{\"name\":\"GTUBE\",\"score\":15,\"options\":[\"x\"]},"
      "\"R_\\\"Q\":{\"name\":\"R\",\"score\":0.5}},\"messages\":{}}";
  EngineResult result;
  ASSERT_TRUE(rspamd_read_answer(answer, strlen(answer), &result)) << result.error;
  EXPECT_STREQ(result.action, "reject");
  EXPECT_DOUBLE_EQ(result.score, 15.5);
  EXPECT_STREQ(result.symbols, "GTUBE, R_\\\"Q");
  for (const char* garbage : {"{\"action\":\"reject\"}", "<html>", "{\"score\":1}"}) {
    EngineResult bad;
    EXPECT_FALSE(rspamd_read_answer(garbage, strlen(garbage), &bad)) << garbage;
    EXPECT_NE(bad.error[0], '\0');
  }
}

TEST(SpamEngine, ReadsSpamdAnswers) {
  const char answer[] =
      "SPAMD/1.1 0 EX_OK\r\nContent-length: 20\r\nSpam: True ; 1000.5 / 5.0\r\n\r\n"
      "GTUBE,NO_RELAYS\r\n";
  EngineResult result;
  ASSERT_TRUE(spamd_read_answer(answer, strlen(answer), &result)) << result.error;
  EXPECT_TRUE(result.spam);
  EXPECT_DOUBLE_EQ(result.score, 1000.5);
  EXPECT_STREQ(result.symbols, "GTUBE, NO_RELAYS");
  for (const char* garbage : {"SPAMD/1.0 76 Bad header line\r\n", "HTTP/1.1 200 OK\r\n\r\n",
                              "SPAMD/1.1 0 EX_OK\r\nSpam: maybe\r\n\r\n"}) {
    EngineResult bad;
    EXPECT_FALSE(spamd_read_answer(garbage, strlen(garbage), &bad)) << garbage;
    EXPECT_EQ(strchr(bad.error, '\n'), nullptr);
  }
}

TEST(SpamEngine, AnswersMapToVerdicts) {
  static const struct {
    int engine;
    const char* action;
    bool spam;
    double score;
    double quarantine_at;
    double reject_at;
    bool tag;
    EngineDecision decision;
  } cases[] = {
      {kSpamEngineRspamd, "no action", false, 1, -1, -1, false, EngineDecision::kPass},
      {kSpamEngineRspamd, "greylist", false, 4, -1, -1, false, EngineDecision::kPass},
      {kSpamEngineRspamd, "add header", false, 7, -1, -1, false, EngineDecision::kQuarantine},
      {kSpamEngineRspamd, "add header", false, 7, -1, -1, true, EngineDecision::kTag},
      {kSpamEngineRspamd, "rewrite subject", false, 9, -1, -1, false, EngineDecision::kQuarantine},
      {kSpamEngineRspamd, "soft reject", false, 9, -1, -1, false, EngineDecision::kQuarantine},
      {kSpamEngineRspamd, "reject", false, 15, -1, -1, false, EngineDecision::kRefuse},
      // The owner's scores replace the actions.
      {kSpamEngineRspamd, "reject", false, 15, 10, 20, false, EngineDecision::kQuarantine},
      {kSpamEngineRspamd, "add header", false, 7, 10, -1, false, EngineDecision::kPass},
      {kSpamEngineSpamd, "", true, 6, -1, -1, false, EngineDecision::kQuarantine},
      {kSpamEngineSpamd, "", false, 4, -1, -1, false, EngineDecision::kPass},
      // spamd refuses only over a score the owner set.
      {kSpamEngineSpamd, "", true, 1000, -1, -1, false, EngineDecision::kQuarantine},
      {kSpamEngineSpamd, "", true, 1000, -1, 50, false, EngineDecision::kRefuse},
  };
  for (const auto& c : cases) {
    Settings settings;
    settings.spam_engine = c.engine;
    settings.spam_quarantine_score = c.quarantine_at;
    settings.spam_reject_score = c.reject_at;
    settings.spam_tag = c.tag;
    EngineResult result;
    snprintf(result.action, sizeof result.action, "%s", c.action);
    result.spam = c.spam;
    result.score = c.score;
    EXPECT_EQ(spam_engine_decide(settings, result), c.decision) << c.action << " " << c.score;
  }
}

}  // namespace
