#include "http/http_client.h"

#include <string>

#include <gtest/gtest.h>

namespace {

TEST(HttpParseUrl, AcceptsHttpAndHttpsWithHostPortPathAndRefusesTheRest) {
  const struct {
    const char* url;
    const char* host;  // null: refused
    int port;
    const char* path;
  } cases[] = {
      {"http://example.com/verify", "example.com", 80, "/verify"},
      {"ftp://example.com/", nullptr, 0, nullptr},
      {"https://Challenges.Example.com/turnstile/v0/siteverify", "challenges.example.com", 443,
       "/turnstile/v0/siteverify"},
      {"HTTPS://127.0.0.1:8443/verify?x=1", "127.0.0.1", 8443, "/verify?x=1"},
      {"https://example.com", "example.com", 443, "/"},
      {"https://example.com?a=b", "example.com", 443, "/?a=b"},
      {"https://", nullptr, 0, nullptr},
      {"https://user:pw@example.com/", nullptr, 0, nullptr},
      {"https://[::1]/", nullptr, 0, nullptr},
      {"https://example.com:0/", nullptr, 0, nullptr},
      {"https://example.com:65536/", nullptr, 0, nullptr},
      {"https://example.com:/", nullptr, 0, nullptr},
      {"https://1.2.3/", nullptr, 0, nullptr},
      {"https://256.1.1.1/", nullptr, 0, nullptr},
      {"https://exa_mple.com/", nullptr, 0, nullptr},
      {"https://example.com/a b", nullptr, 0, nullptr},
      {"https://example.com/a\r\nX-Injected: 1", nullptr, 0, nullptr},
      {"https://example.com/#frag", nullptr, 0, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    HttpUrl url;
    char error[kHttpErrorSize] = "";
    bool ok = http_parse_url(c.url, &url, error, sizeof error);
    ASSERT_EQ(c.host != nullptr, ok) << error;
    if (!ok) {
      EXPECT_STRNE("", error);
      EXPECT_EQ(nullptr, url.host);
      continue;
    }
    EXPECT_STREQ(c.host, url.host);
    EXPECT_EQ(c.port, url.port);
    EXPECT_STREQ(c.path, url.path);
    EXPECT_EQ(c.url[4] != ':', url.tls);
    http_url_free(&url);
  }
  HttpUrl url;
  char error[kHttpErrorSize] = "";
  EXPECT_FALSE(https_parse_url("http://example.com/verify", &url, error, sizeof error));
  EXPECT_STREQ("URL is not https://host[:port]/path", error);
}

TEST(HttpDechunk, DecodesSizesExtensionsAndTrailers) {
  const std::string big_chunk = "10001\r\n";  // 65537 bytes, one over the limit
  // Exactly the limit: accepted (its body is checked against 64 KB of 'x').
  const std::string full_chunk =
      "10000\r\n" + std::string(kHttpAnswerLimit, 'x') + "\r\n0\r\n\r\n";
  const struct {
    std::string wire;
    HttpParse state;
    const char* body_or_error;
    size_t used;
  } cases[] = {
      {"4\r\nWiki\r\n5;name=value\r\npedia\r\n0\r\n\r\n", HttpParse::kComplete, "Wikipedia", 35},
      {"A\nabcdefghij\n0\nExpires: never\n\nrest", HttpParse::kComplete, "abcdefghij", 31},
      {"4\r\nWi", HttpParse::kIncomplete, "", 0},
      {"4\r\nWiki\r\n0\r\n", HttpParse::kIncomplete, "", 0},
      {"4\r\nWikiXX0\r\n\r\n", HttpParse::kError, "not HTTP", 0},
      {"4\r\nWikiXX\r\n0\r\n\r\n", HttpParse::kError, "not HTTP", 0},
      {full_chunk, HttpParse::kComplete, nullptr, full_chunk.size()},
      {"zz\r\nWiki\r\n0\r\n\r\n", HttpParse::kError, "not HTTP", 0},
      {big_chunk, HttpParse::kError, "answer over 64 KB", 0},
      {"fffffffffffffffffffff\r\n", HttpParse::kError, "answer over 64 KB", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.wire.substr(0, 40));
    TextBuffer* body = text_buffer_new("");
    char error[kHttpErrorSize] = "";
    size_t used = 0;
    ASSERT_EQ(c.state,
              http_dechunk(c.wire.data(), c.wire.size(), body, &used, error, sizeof error));
    if (c.state == HttpParse::kComplete) {
      const std::string whole(kHttpAnswerLimit, 'x');
      EXPECT_EQ(c.body_or_error != nullptr ? c.body_or_error : whole,
                std::string(body->data, body->length));
      EXPECT_EQ(c.used, used);
    } else if (c.state == HttpParse::kError) {
      EXPECT_STREQ(c.body_or_error, error);
    }
    text_buffer_free(body);
  }
}

TEST(HttpReadAnswer, FramesTheBodyByLengthChunksOrClose) {
  const std::string over_limit =
      "HTTP/1.1 200 OK\r\n\r\n" + std::string(kHttpAnswerLimit + 1, 'x');
  const struct {
    std::string wire;
    bool closed;
    HttpParse state;
    int status;
    const char* body_or_error;
  } cases[] = {
      {"HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n{}{}", false, HttpParse::kComplete, 200,
       "{}{}"},
      {"HTTP/1.1 200 OK\r\ncontent-length: 4\r\n\r\n{}", false, HttpParse::kIncomplete, 0, ""},
      {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 503 Busy\r\nContent-Length: 2\r\n\r\nno", false,
       HttpParse::kComplete, 503, "no"},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 99\r\n\r\n"
       "2\r\n{}\r\n0\r\n\r\n",
       false, HttpParse::kComplete, 200, "{}"},
      {"HTTP/1.0 200 OK\r\n\r\n{\"a\":1}", false, HttpParse::kIncomplete, 0, ""},
      {"HTTP/1.0 200\r\n\r\n{\"a\":1}", true, HttpParse::kComplete, 200, "{\"a\":1}"},
      {"HTTP/1.1 204 No Content\r\n\r\n", false, HttpParse::kComplete, 204, ""},
      {"SSH-2.0-OpenSSH", false, HttpParse::kError, 0, "not HTTP"},
      {"HTTP/1.1 2000 OK\r\n\r\n", false, HttpParse::kError, 0, "not HTTP"},
      {"HTTP/1.1 200 OK\r\nno colon here\r\n\r\n", false, HttpParse::kError, 0, "not HTTP"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\n{}", false,
       HttpParse::kError, 0, "not HTTP"},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\n\r\n", false, HttpParse::kError, 0,
       "answer uses an unsupported transfer coding"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 65537\r\n\r\n", false, HttpParse::kError, 0,
       "answer over 64 KB"},
      {over_limit, false, HttpParse::kError, 0, "answer over 64 KB"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n{}", true, HttpParse::kError, 0,
       "connection closed before the answer ended"},
      {"", true, HttpParse::kError, 0, "connection closed without an answer"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.wire.substr(0, 60));
    HttpAnswer answer;
    char error[kHttpErrorSize] = "";
    ASSERT_EQ(c.state, http_read_answer(c.wire.data(), c.wire.size(), c.closed, &answer, error,
                                        sizeof error))
        << error;
    if (c.state == HttpParse::kComplete) {
      EXPECT_EQ(c.status, answer.status);
      ASSERT_NE(nullptr, answer.body);
      EXPECT_EQ(c.body_or_error, std::string(answer.body->data, answer.body->length));
    } else if (c.state == HttpParse::kError) {
      EXPECT_STREQ(c.body_or_error, error);
    }
    http_answer_free(&answer);
  }
}

TEST(HttpReadAnswer, KeepsTheFinalAnswersContentTypeRetryAfterAndLocation) {
  const std::string wire =
      "HTTP/1.1 100 Continue\r\nLocation: /interim\r\n\r\n"
      "HTTP/1.1 503 Busy\r\ncontent-type:  application/json \r\nRetry-After: 120\r\n"
      "Content-Length: 0\r\n\r\n";
  HttpAnswer answer;
  char error[kHttpErrorSize] = "";
  ASSERT_EQ(HttpParse::kComplete,
            http_read_answer(wire.data(), wire.size(), false, &answer, error, sizeof error));
  EXPECT_STREQ("application/json", answer.content_type);
  EXPECT_STREQ("120", answer.retry_after);
  EXPECT_EQ(nullptr, answer.location);
  http_answer_free(&answer);
}

}  // namespace
