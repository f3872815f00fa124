// The -check section of the spam judges: which content rules are on, the
// words file read, the quarantine's spool, and the engine asked to score
// the GTUBE test text, with the time it took; with spam_learn, whether the
// engine can learn.
#include <cstdio>
#include <cstring>

#include "base/secret_file.h"
#include "driver/check.h"
#include "guard/scripts.h"
#include "guard/spam_engine.h"
#include "guard/word_set.h"
#include "http/http_client.h"
#include "platform/os.h"

namespace {

int check_rules(const Settings& settings) {
  int problems = 0;
  if (settings.spam_max_links > 0) check_say("spam_max_links %d", settings.spam_max_links);
  if (settings.spam_words != nullptr) {
    WordSet set;
    char why[300];
    if (word_set_read(settings.spam_words, &set, why, sizeof why)) {
      check_say("spam_words %s: %d words and phrases", settings.spam_words, set.count);
      word_set_free(&set);
    } else {
      problems += check_problem("spam_words %s cannot be read (%s)", settings.spam_words, why);
    }
  }
  for (int i = 0; i < settings.spam_scripts.count; ++i) {
    Script script;
    if (!script_named(settings.spam_scripts.items[i], &script)) {
      problems += check_problem("spam_scripts names %s, which is no script this program knows",
                                settings.spam_scripts.items[i]);
    }
  }
  if (settings.spam_scripts.count > 0)
    check_say("spam_scripts: %d listed", settings.spam_scripts.count);
  if (settings.spam_same_value) check_say("spam_same_value true");
  return problems;
}

// rspamd learns only on its controller and only with its statistics'
// Redis: /stat lists no statfiles without one.
int check_learning(const Settings& settings) {
  if (settings.spam_engine == kSpamEngineSpamd) {
    check_say("spam_learn: spamd learns only when started with --allow-tell");
    return 0;
  }
  if (settings.spam_controller == nullptr) {
    return check_problem("spam_learn true without spam_controller: rspamd cannot learn");
  }
  char url[1200];
  snprintf(url, sizeof url, "%.1100s/stat", settings.spam_controller);
  char password[256] = "";
  size_t length = 0;
  int open_error = 0;
  HttpHeader header = {"Password", password};
  bool with_password =
      settings.spam_controller_password_file != nullptr &&
      secret_file_line(settings.spam_controller_password_file, password, sizeof password - 1,
                       &length, &open_error) == SecretLine::kRead;
  HttpRequest request;
  request.url = url;
  request.headers = &header;
  request.header_count = with_password ? 1 : 0;
  request.timeout_seconds = settings.spam_timeout;
  HttpResult http;
  http_exchange(request, &http);
  int problems = 0;
  if (!http.ok || http.answer.status != 200) {
    problems = check_problem("rspamd's controller at %.200s cannot be asked (%.200s)", url,
                             http.ok ? "not status 200" : http.error);
  } else if (strstr(http.answer.body->data, "\"statfiles\":[]") != nullptr ||
             strstr(http.answer.body->data, "\"statfiles\"") == nullptr) {
    problems = check_problem("rspamd cannot learn: its statistics have no backend (Redis)");
  } else {
    check_say("rspamd's controller answers; its statistics can learn");
  }
  memset(password, 0, sizeof password);
  http_result_free(&http);
  return problems;
}

int check_engine(const Settings& settings) {
  const char* name = settings.spam_engine == kSpamEngineRspamd ? "rspamd" : "spamd";
  char message[512];
  snprintf(message, sizeof message,
           "From: check@example.com\r\nTo: check@example.com\r\nSubject: GTUBE\r\n"
           "Message-ID: <gtube@example.com>\r\n\r\n%s\r\n",
           kGtube);
  EngineEnvelope envelope = {
      "127.0.0.1", "localhost", "check@example.com", {"check@example.com", nullptr, nullptr}};
  EngineResult result;
  long long deadline = os_monotonic_ms() + settings.spam_timeout * 1000LL;
  if (!spam_engine_check(settings, message, strlen(message), envelope, deadline, &result)) {
    return check_problem("%s cannot be asked: %s", name, result.error);
  }
  EngineDecision decision = spam_engine_decide(settings, result);
  const char* word = decision == EngineDecision::kRefuse       ? "refused"
                     : decision == EngineDecision::kQuarantine ? "quarantined"
                     : decision == EngineDecision::kTag        ? "tagged"
                                                               : "passed";
  if (decision == EngineDecision::kPass) {
    return check_problem("%s scored GTUBE %.2f (%s): the test text would pass as ham", name,
                         result.score, result.action[0] != '\0' ? result.action : "not spam");
  }
  check_say("%s at %s scored GTUBE %.2f: %s, in %lld ms", name, settings.spam_engine_address,
            result.score, word, result.elapsed_ms);
  return 0;
}

}  // namespace

bool check_spam_applies(const Settings& settings) {
  return settings.spam_max_links > 0 || settings.spam_words != nullptr ||
         settings.spam_scripts.count > 0 || settings.spam_same_value ||
         settings.spam_engine != kSpamEngineNone;
}

int check_spam(CheckRun* run) {
  const Settings& settings = run->settings;
  bool engine = settings.spam_engine != kSpamEngineNone;
  int problems = check_rules(settings);
  if (settings.spool_folder == nullptr) {
    problems += check_problem(
        "no spool_folder: a message judged spam cannot be kept in quarantine/ and is mailed "
        "tagged instead");
  }
  if (engine) problems += check_engine(settings);
  if (engine && settings.spam_learn) problems += check_learning(settings);
  return problems;
}
