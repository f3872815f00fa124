#include "deliver/deliver.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "base/log.h"

namespace {

// What a delivery that cannot reach a server reports, by settings.
TEST(DeliverMessage, OutcomeSaysWhyNothingWasSent) {
  char pattern[] = "/tmp/quillon-deliver-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  const std::string log = dir + "/test.log";
  LogState saved = g_log;
  g_log.path = log.c_str();
  const std::string ini = dir + "/quillon.ini";
  char user[] = "ann";
  char password[] = "pw";
  char spool[] = "spool";
  const struct {
    bool with_user;
    bool with_spool;
    DeliveryOutcome outcome;
  } cases[] = {
      {false, false, DeliveryOutcome::kUnreachable},
      {true, false, DeliveryOutcome::kNotConfigured},  // a password never goes out in plain text
      {false, true, DeliveryOutcome::kKeptInSpool},
  };
  for (const auto& c : cases) {
    Settings settings;
    settings.smtp_user = c.with_user ? user : nullptr;
    settings.smtp_password = c.with_user ? password : nullptr;
    settings.spool_folder = c.with_spool ? spool : nullptr;
    DeliveryContext context = {&settings, ini.c_str(), nullptr};
    Submission submission = {
        {"f@x.test", "t@x.test", nullptr, "b@x.test", "Subject: Hi\n", " Name: Joe\n", nullptr,
         nullptr},
        nullptr};
    DeliveryResult result = deliver_submission(context, submission).mail;
    EXPECT_EQ(static_cast<int>(c.outcome), static_cast<int>(result.outcome)) << c.with_user;
    EXPECT_EQ(2, result.recipients);
    EXPECT_EQ(c.with_spool, result.spool_name[0] != '\0');
    if (c.with_spool) {
      // Not counted as a try: the server was never reached.
      std::string kept = dir + "/spool/queue/" + result.spool_name + "_0.txt";
      struct stat info;
      EXPECT_EQ(0, stat(kept.c_str(), &info)) << kept;
    }
  }
  g_log = saved;
  std::string command = "rm -rf '" + dir + "'";
  ASSERT_EQ(0, system(command.c_str()));
}

}  // namespace
