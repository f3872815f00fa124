#include "base/hostname.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(HostName, DomainNamesOnly) {
  const std::string label63(63, 'a');
  static const struct {
    std::string name;
    bool valid;
  } cases[] = {
      {"web.example.com", true},
      {"mail-1.example.co.uk", true},
      {"a." + label63 + ".com", true},
      {"a." + label63 + "a.com", false},  // a label of 64
      {label63 + "." + label63 + "." + label63 + "." + label63, false},  // 255 in all
      {"QUILLON", false},  // one label
      {"", false},
      {"-web.example.com", false},
      {"web-.example.com", false},
      {"web..example.com", false},
      {"web.example.com.", false},
      {"web_1.example.com", false},
      {"web.example.com ", false},
      {"192.0.2.1", false},  // an address
      {"[192.0.2.1]", false},
  };
  for (const auto& c : cases) EXPECT_EQ(c.valid, host_name_valid(c.name.c_str())) << c.name;
}

TEST(HostName, ChoosesTheSettingThenAFixedFromDomainThenTheDefault) {
  static const struct {
    const char* configured;
    bool standard_headers;
    const char* fixed_from;
    const char* chosen;
  } cases[] = {
      {"web.example.com", false, "form@example.org", "web.example.com"},
      {nullptr, true, "form@example.org", "example.org"},
      {nullptr, false, "form@example.org", "QUILLON"},
      {nullptr, true, nullptr, "QUILLON"},
      {nullptr, true, "form@localhost", "QUILLON"},
  };
  for (const auto& c : cases) {
    char out[kMaxHostName + 1];
    hello_name_choose(c.configured, c.standard_headers, c.fixed_from, out, sizeof out);
    EXPECT_STREQ(c.chosen, out) << c.chosen;
  }
}

}  // namespace
