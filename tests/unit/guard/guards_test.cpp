#include "guard/guards.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Guards, RecipientMatchesAnAddressOrADomain) {
  static const struct {
    const char* address;
    const char* allowed;
    bool matches;
  } cases[] = {
      {"owner@example.com", "owner@example.com", true},
      {"Owner@Example.COM", "owner@example.com", true},
      {"owner@example.com", "@EXAMPLE.com", true},
      {"other@example.com", "owner@example.com", false},
      {"owner@example.com.evil.org", "owner@example.com", false},
      {"owner@example.com.evil.org", "@example.com", false},
      {"owner@sub.example.com", "@example.com", false},
      {"owner@notexample.com", "@example.com", false},
      {"owner@example.co", "@example.com", false},
      // Routed on by a relay that honours them: not the allowed domain's.
      {"bob%evil.test@example.com", "@example.com", false},
      {"evil.test!bob@example.com", "@example.com", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(recipient_matches(c.address, c.allowed), c.matches)
        << c.address << " against " << c.allowed;
  }
}

TEST(Guards, OriginHostIsTheHostOfTheUrl) {
  static const struct {
    const char* url;
    const char* host;  // null: names no host
  } cases[] = {
      {"https://www.example.com", "www.example.com"},
      {"http://www.example.com:8080/form.html?a=b", "www.example.com"},
      {"https://user:pw@www.example.com/x@y", "www.example.com"},
      {"http://[::1]:8080/", "[::1]"},
      {"https://evil.org#www.example.com", "evil.org"},
      {"https://evil.org?www.example.com", "evil.org"},
      {"null", nullptr},
      {"", nullptr},
      {"www.example.com", nullptr},
      {"://www.example.com", nullptr},
      {"ht tp://www.example.com", nullptr},
      {"https://", nullptr},
      {"https://:8080/", nullptr},
      {"http://[::1", nullptr},
  };
  for (const auto& c : cases) {
    char host[256] = "unchanged";
    bool found = origin_host(c.url, host, sizeof host);
    EXPECT_EQ(found, c.host != nullptr) << c.url;
    if (found && c.host != nullptr) {
      EXPECT_STREQ(host, c.host) << c.url;
    }
  }
  // A host that does not fit names none rather than a cut one.
  std::string long_url = "https://" + std::string(300, 'a') + ".example.com/";
  char host[256];
  EXPECT_FALSE(origin_host(long_url.c_str(), host, sizeof host));
}

}  // namespace
