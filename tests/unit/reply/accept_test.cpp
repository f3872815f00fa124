#include "reply/accept.h"

#include <gtest/gtest.h>

namespace {

TEST(AcceptPrefersJson, WeighsQValuesOfTheMostSpecificRange) {
  struct Case {
    const char* accept;
    bool json;
  };
  const Case cases[] = {
      {nullptr, false},
      {"", false},
      {"application/json", true},
      {"Application/JSON; charset=utf-8", true},
      {"text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8", false},
      {"application/json, text/plain, */*", true},
      {"application/json, text/html", false},
      {"text/html;q=0.5, application/json;q=0.9", true},
      {"application/*;q=0.6, text/*;q=0.5", true},
      {"*/*;q=0.9, text/html;q=0.1", true},
      {"application/json;q=0, */*", false},
      {"application/json;q=0.001", true},
      {"application/json;q=2, text/html;q=0.1", false},
      {"*/*", false},
      {"image/png", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.json, accept_prefers_json(c.accept)) << (c.accept ? c.accept : "(none)");
  }
}

}  // namespace
