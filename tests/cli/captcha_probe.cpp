// Runs captcha_verify once (or repeat=N times) with the options given as
// key=value arguments and prints the outcome, for test_captcha_client.py
// and bench/captcha_bench.py:
//
//   captcha_probe url=https://127.0.0.1:PORT/refuse/siteverify ca_file=ca.pem
//                 secret_file=secret token=T [remote=192.0.2.7] [timeout=5]
//                 [provider=turnstile] [action=contact] [min_score=0.5]
//                 [allow=www.example.com ...] [repeat=N]
//
// Prints "OUTCOME<TAB>reason" (passed, refused, unreachable, misconfigured)
// and, with repeat, "ms_per_verification=X"; exits 0 when it passed, 1 when
// not, 2 for bad arguments.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "guard/captcha.h"

namespace {

const char* outcome_name(CaptchaOutcome outcome) {
  switch (outcome) {
    case CaptchaOutcome::kPassed: return "passed";
    case CaptchaOutcome::kRefused: return "refused";
    case CaptchaOutcome::kUnreachable: return "unreachable";
    case CaptchaOutcome::kMisconfigured: return "misconfigured";
  }
  return "?";
}

}  // namespace

int main(int argc, char** argv) {
  CaptchaOptions options;
  std::vector<const char*> allowed;
  const char* token = nullptr;
  const char* remote = nullptr;
  int repeat = 0;
  for (int i = 1; i < argc; ++i) {
    const char* eq = strchr(argv[i], '=');
    if (eq == nullptr) {
      fprintf(stderr, "not key=value: %s\n", argv[i]);
      return 2;
    }
    std::string key(argv[i], static_cast<size_t>(eq - argv[i]));
    const char* value = eq + 1;
    if (key == "url") options.verify_url = value;
    else if (key == "ca_file") options.ca_file = value;
    else if (key == "secret_file") options.secret_file = value;
    else if (key == "token") token = value;
    else if (key == "remote") remote = value;
    else if (key == "timeout") options.timeout_seconds = atoi(value);
    else if (key == "provider") options.provider = captcha_provider(value);
    else if (key == "action") options.action = value;
    else if (key == "min_score") options.min_score = atof(value);
    else if (key == "allow") allowed.push_back(value);
    else if (key == "repeat") repeat = atoi(value);
    else {
      fprintf(stderr, "unknown key: %s\n", key.c_str());
      return 2;
    }
  }
  options.allowed_hosts = allowed.data();
  options.allowed_host_count = static_cast<int>(allowed.size());

  CaptchaResult result;
  auto began = std::chrono::steady_clock::now();
  int runs = repeat > 0 ? repeat : 1;
  for (int i = 0; i < runs; ++i) captcha_verify(options, token, remote, &result);
  double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - began)
                  .count();
  printf("%s\t%s\n", outcome_name(result.outcome), result.reason);
  if (repeat > 0) printf("ms_per_verification=%.3f\n", ms / runs);
  return result.outcome == CaptchaOutcome::kPassed ? 0 : 1;
}
