#include "deliver/deliver.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/log.h"
#include "platform/os.h"

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
  const char* kId = "20260107T134501.123456Z_web1_4242_9f86d081884c7d65";
  const struct {
    bool with_user;
    bool with_spool;
    DeliveryOutcome outcome;
    const char* id;  // the submission's id; the spool name when it is one
  } cases[] = {
      {false, false, DeliveryOutcome::kUnreachable, nullptr},
      {true, false, DeliveryOutcome::kNotConfigured, nullptr},  // never a password in plain text
      {false, true, DeliveryOutcome::kKeptInSpool, kId},
      {false, true, DeliveryOutcome::kKeptInSpool, "../../etc/x"},
      // Kept until the settings are mended.
      {true, true, DeliveryOutcome::kKeptInSpool, nullptr},
  };
  for (const auto& c : cases) {
    Settings settings;
    settings.smtp_user = c.with_user ? user : nullptr;
    settings.smtp_password = c.with_user ? password : nullptr;
    settings.spool_folder = c.with_spool ? spool : nullptr;
    DeliveryContext context = {&settings, ini.c_str(), nullptr};
    context.submission_id = c.id;
    Submission submission = {
        {"f@x.test", "t@x.test", nullptr, "b@x.test", "Subject: Hi\n", " Name: Joe\n", nullptr,
         nullptr},
        nullptr};
    DeliveryResult result = deliver_submission(context, submission).mail;
    EXPECT_EQ(static_cast<int>(c.outcome), static_cast<int>(result.outcome)) << c.with_user;
    EXPECT_EQ(2, result.recipients);
    EXPECT_EQ(c.with_spool, result.spool_name[0] != '\0');
    EXPECT_EQ(c.id == kId, std::string(result.spool_name) == kId);
    EXPECT_EQ(c.with_user && c.with_spool,
              std::string(result.failure) == "the delivery settings cannot be used");
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

// The run's deadline bounds the exchange when it comes before the
// server's own time limits: a silent server holds the run no longer.
TEST(DeliverMessage, RunDeadlineEndsTheExchange) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
  ASSERT_EQ(0, listen(listener, 4));  // connections wait in the backlog, unanswered
  socklen_t length = sizeof addr;
  getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length);
  std::string server = "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
  LogState saved = g_log;
  g_log.path = "/dev/null";
  Settings settings;
  settings.smtp = &server[0];
  settings.smtp_timeout = 60;
  DeliveryContext context = {&settings, "quillon.ini", nullptr};
  Submission submission = {{"f@x.test", "t@x.test", nullptr, nullptr, "S: x\n", "b\n", nullptr,
                            nullptr},
                           nullptr};
  for (long long ahead : {-1000LL, 1000LL}) {
    long long started = os_monotonic_ms();
    context.deadline_ms = started + ahead;
    DeliveryResult result = deliver_submission(context, submission).mail;
    EXPECT_EQ(static_cast<int>(DeliveryOutcome::kUnreachable), static_cast<int>(result.outcome));
    EXPECT_LT(os_monotonic_ms() - started, 3000) << ahead;
  }
  g_log = saved;
  close(listener);
}

}  // namespace
