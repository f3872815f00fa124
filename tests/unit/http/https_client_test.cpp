#include "http/https_client.h"

#include <string>

#include <gtest/gtest.h>

namespace {

TEST(HttpsParseUrl, AcceptsHttpsWithHostPortPathAndRefusesTheRest) {
  const struct {
    const char* url;
    const char* host;  // null: refused
    int port;
    const char* path;
  } cases[] = {
      {"https://Challenges.Example.com/turnstile/v0/siteverify", "challenges.example.com", 443,
       "/turnstile/v0/siteverify"},
      {"HTTPS://127.0.0.1:8443/verify?x=1", "127.0.0.1", 8443, "/verify?x=1"},
      {"https://example.com", "example.com", 443, "/"},
      {"https://example.com?a=b", "example.com", 443, "/?a=b"},
      {"http://example.com/verify", nullptr, 0, nullptr},
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
    HttpsUrl url;
    char error[kHttpsErrorSize] = "";
    bool ok = https_parse_url(c.url, &url, error, sizeof error);
    ASSERT_EQ(c.host != nullptr, ok) << error;
    if (!ok) {
      EXPECT_STRNE("", error);
      EXPECT_EQ(nullptr, url.host);
      continue;
    }
    EXPECT_STREQ(c.host, url.host);
    EXPECT_EQ(c.port, url.port);
    EXPECT_STREQ(c.path, url.path);
    https_url_free(&url);
  }
}

TEST(HttpDechunk, DecodesSizesExtensionsAndTrailers) {
  const std::string big_chunk = "10001\r\n";  // 65537 bytes, one over the limit
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
      {"zz\r\nWiki\r\n0\r\n\r\n", HttpParse::kError, "not HTTP", 0},
      {big_chunk, HttpParse::kError, "answer over 64 KB", 0},
      {"fffffffffffffffffffff\r\n", HttpParse::kError, "answer over 64 KB", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.wire.substr(0, 40));
    HttpBytes body;
    char error[kHttpsErrorSize] = "";
    size_t used = 0;
    ASSERT_EQ(c.state,
              http_dechunk(c.wire.data(), c.wire.size(), &body, &used, error, sizeof error));
    if (c.state == HttpParse::kComplete) {
      EXPECT_EQ(c.body_or_error, std::string(body.data, body.length));
      EXPECT_EQ(c.used, used);
    } else if (c.state == HttpParse::kError) {
      EXPECT_STREQ(c.body_or_error, error);
    }
    http_bytes_free(&body);
  }
}

TEST(HttpReadAnswer, FramesTheBodyByLengthChunksOrClose) {
  const std::string over_limit =
      "HTTP/1.1 200 OK\r\n\r\n" + std::string(kHttpsAnswerLimit + 1, 'x');
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
    char error[kHttpsErrorSize] = "";
    ASSERT_EQ(c.state, http_read_answer(c.wire.data(), c.wire.size(), c.closed, &answer, error,
                                        sizeof error))
        << error;
    if (c.state == HttpParse::kComplete) {
      EXPECT_EQ(c.status, answer.status);
      ASSERT_NE(nullptr, answer.body.data);
      EXPECT_EQ(c.body_or_error, std::string(answer.body.data, answer.body.length));
    } else if (c.state == HttpParse::kError) {
      EXPECT_STREQ(c.body_or_error, error);
    }
    http_bytes_free(&answer.body);
  }
}

}  // namespace
