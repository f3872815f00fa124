#include "config/origin.h"

#include <gtest/gtest.h>

namespace {

TEST(Origin, EntriesAllowTheOriginsTheyName) {
  static const struct {
    const char* entry;
    const char* url;  // an Origin or Referer value
    bool allowed;
  } cases[] = {
      // a host: any scheme and port
      {"www.example.com", "https://WWW.example.com:8443", true},
      {"www.example.com", "http://www.example.com./form.html", true},
      {"www.example.com", "https://www.example.com.evil.org", false},
      // host:port: that port, the scheme's default one included
      {"www.example.com:8080", "http://www.example.com:8080", true},
      {"www.example.com:8080", "ftp://www.example.com:8080", true},
      {"www.example.com:443", "https://www.example.com/", true},
      {"www.example.com:8080", "http://www.example.com", false},
      {"[::1]:8080", "http://[::1]:8080", true},
      // scheme://host[:port]: exactly that origin
      {"https://www.example.com", "https://www.example.com:443/x", true},
      {"HTTPS://www.example.com", "https://www.example.com", true},
      {"https://www.example.com", "http://www.example.com", false},
      {"https://www.example.com", "https://www.example.com:8443", false},
      {"https://www.example.com:8443", "http://www.example.com:8443", false},
      {"http://127.0.0.1:8081", "http://127.0.0.1:8081", true},
      {"http://127.0.0.1:8081", "http://127.0.0.1:8082", false},
      // unreadable entries allow nothing
      {"https://www.example.com/", "https://www.example.com", false},
      {"https://user@www.example.com", "https://www.example.com", false},
      {"www.example.com:", "http://www.example.com", false},
      {"www.example.com:99999", "http://www.example.com", false},
      {"", "http://www.example.com", false},
  };
  for (const auto& c : cases) {
    WebOrigin origin;
    ASSERT_TRUE(web_origin_parse(c.url, &origin)) << c.url;
    EXPECT_EQ(origin_entry_matches(c.entry, origin), c.allowed) << c.entry << " / " << c.url;
  }
}

TEST(Origin, ParseRefusesPortsThatAreNoNumber) {
  WebOrigin origin;
  EXPECT_FALSE(web_origin_parse("http://www.example.com:8o", &origin));
  EXPECT_FALSE(web_origin_parse("http://www.example.com:65536", &origin));
  EXPECT_FALSE(web_origin_parse("null", &origin));
  ASSERT_TRUE(web_origin_parse("http://www.example.com:", &origin));
  EXPECT_EQ(origin.port, 80);
}

}  // namespace
