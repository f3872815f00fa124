#include "guard/captcha.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

namespace {

TEST(Captcha, ProvidersAndTheirFields) {
  const CaptchaProvider* turnstile = captcha_provider("Turnstile");
  ASSERT_NE(nullptr, turnstile);
  EXPECT_STREQ("cf-turnstile-response", turnstile->token_field);
  EXPECT_STREQ("h-captcha-response", captcha_provider("hcaptcha")->token_field);
  EXPECT_STREQ("https://www.google.com/recaptcha/api/siteverify",
               captcha_provider("recaptcha")->verify_url);
  EXPECT_EQ(nullptr, captcha_provider("recaptcha2"));
}

TEST(Captcha, RequestBodyIsFormEncoded) {
  const struct {
    const char* remote;
    const char* body;
  } cases[] = {
      {"192.0.2.7", "secret=0x4A%2Bb%2F%3D&response=P1_a+b%26c%3Dd%7E%C3%A9&remoteip=192.0.2.7"},
      {"", "secret=0x4A%2Bb%2F%3D&response=P1_a+b%26c%3Dd%7E%C3%A9"},
      {nullptr, "secret=0x4A%2Bb%2F%3D&response=P1_a+b%26c%3Dd%7E%C3%A9"},
  };
  for (const auto& c : cases) {
    char* body = captcha_request_body("0x4A+b/=", "P1_a b&c=d~\xc3\xa9", c.remote);
    EXPECT_STREQ(c.body, body);
    free(body);
  }
}

TEST(Captcha, ParseAnswerReadsTheMembersAndRefusesMalformedOnes) {
  const struct {
    const char* json;
    bool ok;
    bool success;
    const char* codes;  // joined by ","
    const char* hostname;
    double score;       // -1: none
  } cases[] = {
      {R"({"success":true,"challenge_ts":"2026-01-01T00:00:00Z","hostname":"www.example.com",)"
       R"("error-codes":[],"metadata":{"interactive":false}})",
       true, true, "", "www.example.com", -1},
      {R"({"success":false,"error-codes":["invalid-input-response","timeout-or-duplicate"]})",
       true, false, "invalid-input-response,timeout-or-duplicate", "", -1},
      {R"({"success":true,"score":0.3,"action":"contact","hostname":"a.test"})", true, true, "",
       "a.test", 0.3},
      {R"({"success":true,"success":false})", true, false, "", "", -1},
      {R"({"success":"true"})", false, false, "", "", -1},
      {R"({"hostname":"a.test"})", false, false, "", "", -1},
      {R"({"success":true,"score":"0.9"})", false, false, "", "", -1},
      {R"({"success":true)", false, false, "", "", -1},
      {"<html>busy</html>", false, false, "", "", -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    CaptchaAnswer answer;
    char error[256] = "";
    ASSERT_EQ(c.ok, captcha_parse_answer(c.json, strlen(c.json), &answer, error, sizeof error));
    if (!c.ok) {
      EXPECT_STRNE("", error);
      continue;
    }
    EXPECT_EQ(c.success, answer.success);
    std::string codes;
    for (int i = 0; i < answer.error_code_count; ++i) {
      codes += (codes.empty() ? "" : ",") + std::string(answer.error_codes[i].text);
    }
    EXPECT_EQ(c.codes, codes);
    EXPECT_STREQ(c.hostname, answer.hostname.text);
    EXPECT_EQ(c.score >= 0, answer.has_score);
    if (c.score >= 0) {
      EXPECT_DOUBLE_EQ(c.score, answer.score);
    }
  }
}

TEST(Captcha, VerdictChecksSuccessHostnameScoreAndAction) {
  const char* const hosts[] = {"www.example.com", "example.com"};
  const struct {
    const char* json;
    int host_count;
    const char* action;
    const char* reason;  // "" passed
    const char* provider = nullptr;  // null: none
  } cases[] = {
      {R"({"success":true,"hostname":"WWW.example.com."})", 2, nullptr, ""},
      {R"({"success":true,"hostname":"evil.test"})", 0, nullptr, ""},
      {R"({"success":false,"error-codes":["invalid-input-response","timeout-or-duplicate"]})", 0,
       nullptr, "provider said no: invalid-input-response, timeout-or-duplicate"},
      {R"({"success":false,"error-codes":["bad{code}\n"]})", 0, nullptr,
       "provider said no: bad?code??"},
      {R"({"success":true,"hostname":"evil.test"})", 2, nullptr, "hostname evil.test not allowed"},
      {R"({"success":true})", 2, nullptr, "answer names no hostname"},
      {R"({"success":true,"hostname":"example.com\u0000.evil.test"})", 2, nullptr,
       "hostname example.com?.evil.test not allowed"},
      {R"({"success":true,"score":0.3,"action":"contact"})", 0, nullptr, "score 0.3 below 0.5"},
      {R"({"success":true,"score":0.5,"action":"contact"})", 0, "contact", ""},
      {R"({"success":true,"score":0.9,"action":"x"})", 0, "y", "action x is not y"},
      {R"({"success":true})", 0, "y", "action (none) is not y"},
      // hCaptcha's score is a risk score: captcha_min_score does not apply.
      {R"({"success":true,"score":0.9})", 0, nullptr, "", "hcaptcha"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    CaptchaAnswer answer;
    char error[256] = "";
    ASSERT_TRUE(captcha_parse_answer(c.json, strlen(c.json), &answer, error, sizeof error))
        << error;
    CaptchaOptions options;
    options.allowed_hosts = hosts;
    options.allowed_host_count = c.host_count;
    options.action = c.action;
    options.provider = c.provider != nullptr ? captcha_provider(c.provider) : nullptr;
    CaptchaResult result = captcha_verdict(answer, options);
    EXPECT_EQ(c.reason[0] == '\0' ? CaptchaOutcome::kPassed : CaptchaOutcome::kRefused,
              result.outcome);
    EXPECT_STREQ(c.reason, result.reason);
  }
}

TEST(Captcha, SecretIsTheFirstLineAndErrorsNameOnlyTheFile) {
  char dir[] = "/tmp/quillon-captcha-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(dir));
  const std::string base = dir;
  const struct {
    const char* content;  // null: no file
    const char* secret;   // null: an error
    const char* error_end;
  } cases[] = {
      {"0x4AAAAAAAkey\r\nsecond line\n", "0x4AAAAAAAkey", ""},
      {"key-without-line-end", "key-without-line-end", ""},
      {"\nkey on the second line\n", nullptr, " is empty"},
      {nullptr, nullptr, " cannot be read"},
  };
  int i = 0;
  for (const auto& c : cases) {
    std::string path = base + "/secret" + std::to_string(i++);
    if (c.content != nullptr) std::ofstream(path, std::ios::binary) << c.content;
    CaptchaSecret secret;
    char error[kCaptchaReasonSize] = "";
    bool ok = captcha_read_secret(path.c_str(), &secret, error, sizeof error);
    SCOPED_TRACE(path);
    EXPECT_EQ(c.secret != nullptr, ok);
    if (ok) {
      EXPECT_EQ(c.secret, std::string(secret.text, secret.length));
    } else {
      EXPECT_EQ("captcha_secret_file " + path + c.error_end, error);
      EXPECT_EQ(0u, secret.length);
      EXPECT_STREQ("", secret.text);
    }
    unlink(path.c_str());
  }
  rmdir(dir);
}

TEST(Captcha, VerifyWithoutTokenOrSecretMakesNoCall) {
  CaptchaOptions options;
  options.provider = captcha_provider("turnstile");
  // Port 1 on loopback: a call would be "connection refused".
  options.verify_url = "https://127.0.0.1:1/siteverify";
  options.secret_file = "/nonexistent/secret";
  options.unreachable = CaptchaUnreachable::kSend;
  const struct {
    const char* token;
    CaptchaOutcome outcome;
    const char* reason;
  } cases[] = {
      {nullptr, CaptchaOutcome::kRefused, "no token"},
      {"", CaptchaOutcome::kRefused, "no token"},
      {"token", CaptchaOutcome::kMisconfigured,
       "captcha_secret_file /nonexistent/secret cannot be read"},
  };
  for (const auto& c : cases) {
    CaptchaResult result;
    EXPECT_FALSE(captcha_verify(options, c.token, "192.0.2.7", &result));
    EXPECT_EQ(c.outcome, result.outcome);
    EXPECT_STREQ(c.reason, result.reason);
    EXPECT_FALSE(captcha_lets_through(result, options));
  }
}

}  // namespace
