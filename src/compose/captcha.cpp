#include "compose/captcha.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/json.h"
#include "base/program.h"
#include "compose/guards.h"
#include "http/https_client.h"

namespace {

const CaptchaProvider kProviders[] = {
    {"turnstile", "cf-turnstile-response",
     "https://challenges.cloudflare.com/turnstile/v0/siteverify", false},
    {"hcaptcha", "h-captcha-response", "https://api.hcaptcha.com/siteverify", true},
    {"recaptcha", "g-recaptcha-response", "https://www.google.com/recaptcha/api/siteverify",
     false},
};

// A secret key is a few dozen characters; a longer first line is no key.
constexpr size_t kSecretLimit = 4096;
// How much of one provider text (a code, a host name, an action) a reason
// quotes, and how many error codes.
constexpr size_t kQuoteLimit = 64;
constexpr size_t kCodesQuoted = 8;

void append_encoded(std::string* out, const char* text) {
  static const char kHex[] = "0123456789ABCDEF";
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != '\0'; ++p) {
    unsigned char c = *p;
    bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                 c == '*' || c == '-' || c == '.' || c == '_';
    if (plain) {
      out->push_back(static_cast<char>(c));
    } else if (c == ' ') {
      out->push_back('+');
    } else {
      out->push_back('%');
      out->push_back(kHex[c >> 4]);
      out->push_back(kHex[c & 0xf]);
    }
  }
}

// A provider text as a reason may quote it: printable ASCII but braces and
// backslashes (which the log's own marks use), at most kQuoteLimit of it.
std::string quoted(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (out.size() == kQuoteLimit) {
      out += "...";
      break;
    }
    bool plain = c > ' ' && c < 0x7f && c != '{' && c != '}' && c != '\\';
    out.push_back(plain ? c : '?');
  }
  return out;
}

std::string format_score(double value) {
  char text[32];
  snprintf(text, sizeof text, "%g", value);
  return text;
}

struct AnswerReading {
  CaptchaAnswer* answer;
  bool saw_success;
  bool bad_score;
};

bool named(const JsonMember* member, const char* name) {
  return member->name_length == strlen(name) && memcmp(member->name, name, member->name_length) == 0;
}

void take_member(void* context, const JsonMember* member) {
  AnswerReading* reading = static_cast<AnswerReading*>(context);
  CaptchaAnswer* answer = reading->answer;
  std::string value(member->value, member->value_length);
  if (named(member, "success")) {
    bool is_true = !member->in_array && member->kind == JsonKind::kBool && value == "true";
    // Twice, with different values, is no clear yes.
    answer->success = is_true && (answer->success || !reading->saw_success);
    if (member->kind == JsonKind::kBool) reading->saw_success = true;
  } else if (named(member, "hostname") && member->kind == JsonKind::kString) {
    answer->has_hostname = true;
    answer->hostname = value;
  } else if (named(member, "error-codes") && member->kind == JsonKind::kString) {
    answer->error_codes.push_back(value);
  } else if (named(member, "action") && member->kind == JsonKind::kString) {
    answer->has_action = true;
    answer->action = value;
  } else if (named(member, "score")) {
    if (member->kind != JsonKind::kNumber || member->in_array) {
      reading->bad_score = member->kind != JsonKind::kNull;
      return;
    }
    answer->has_score = true;
    answer->score = strtod(value.c_str(), nullptr);
  }
}

std::string codes_text(const std::vector<std::string>& codes) {
  std::string text;
  for (size_t i = 0; i < codes.size() && i < kCodesQuoted; ++i) {
    if (i > 0) text += ", ";
    text += quoted(codes[i]);
  }
  if (codes.size() > kCodesQuoted) text += ", ...";
  return text;
}

CaptchaResult refused(const std::string& reason) {
  CaptchaResult result;
  result.outcome = CaptchaOutcome::kRefused;
  result.reason = reason;
  return result;
}

bool host_allowed(const CaptchaAnswer& answer, const CaptchaOptions& options) {
  for (int i = 0; i < options.allowed_host_count; ++i) {
    if (same_host(answer.hostname.c_str(), options.allowed_hosts[i])) return true;
  }
  return false;
}

// Every copy of `secret` in `text` replaced, in case a service echoes it.
void withhold(std::string* text, const std::string& secret) {
  if (secret.empty()) return;
  const std::string mark = "[withheld]";
  for (size_t at = text->find(secret); at != std::string::npos;
       at = text->find(secret, at + mark.size())) {
    text->replace(at, secret.size(), mark);
  }
}

void wipe(std::string* text) {
  if (!text->empty()) memset(&(*text)[0], 0, text->size());
  text->clear();
}

// Posts the request and turns the exchange into an outcome.
void ask_service(const CaptchaOptions& options, const char* url, const std::string& body,
                 CaptchaResult* result) {
  HttpsResult http;
  https_post_form(url, body.data(), body.size(), options.ca_file, options.timeout_seconds, &http);
  result->outcome = CaptchaOutcome::kUnreachable;
  if (!http.ok) {
    result->reason = http.error;
    return;
  }
  if (http.status < 200 || http.status > 299) {
    result->reason = "answered with status " + std::to_string(http.status);
    return;
  }
  CaptchaAnswer answer;
  std::string error;
  if (!captcha_parse_answer(http.body.data(), http.body.size(), &answer, &error)) {
    result->reason = "answer is not JSON (" + error + ")";
    return;
  }
  *result = captcha_verdict(answer, options);
}

}  // namespace

const CaptchaProvider* captcha_provider(const char* name) {
  for (const CaptchaProvider& provider : kProviders) {
    size_t length = strlen(provider.name);
    if (strlen(name) == length && ascii_equal_n(name, provider.name, length)) return &provider;
  }
  return nullptr;
}

bool captcha_is_token_field(const char* name) {
  for (const CaptchaProvider& provider : kProviders) {
    if (strcmp(name, provider.token_field) == 0) return true;
  }
  return false;
}

std::string captcha_request_body(const char* secret, const char* token, const char* remote_addr) {
  std::string body = "secret=";
  append_encoded(&body, secret);
  body += "&response=";
  append_encoded(&body, token);
  if (remote_addr != nullptr && remote_addr[0] != '\0') {
    body += "&remoteip=";
    append_encoded(&body, remote_addr);
  }
  return body;
}

bool captcha_parse_answer(const char* body, size_t length, CaptchaAnswer* answer,
                          std::string* error) {
  *answer = CaptchaAnswer();
  AnswerReading reading = {answer, false, false};
  JsonError json_error = {"", 0};
  if (!json_read_object(body, length, /*skip_nested=*/true, take_member, &reading, &json_error)) {
    *answer = CaptchaAnswer();
    *error = std::string(json_error.reason) + " at byte " + std::to_string(json_error.offset);
    return false;
  }
  if (!reading.saw_success || reading.bad_score) {
    *answer = CaptchaAnswer();
    *error = reading.bad_score ? "score is not a number" : "no boolean success member";
    return false;
  }
  return true;
}

CaptchaResult captcha_verdict(const CaptchaAnswer& answer, const CaptchaOptions& options) {
  if (!answer.success) {
    CaptchaResult result = refused("provider said no");
    if (!answer.error_codes.empty()) result.reason += ": " + codes_text(answer.error_codes);
    result.error_codes = answer.error_codes;
    return result;
  }
  if (options.allowed_host_count > 0 && !host_allowed(answer, options)) {
    if (!answer.has_hostname || answer.hostname.empty()) return refused("answer names no hostname");
    return refused("hostname " + quoted(answer.hostname) + " not allowed");
  }
  bool trust_score = options.provider == nullptr || !options.provider->score_is_risk;
  if (trust_score && answer.has_score && answer.score < options.min_score) {
    return refused("score " + format_score(answer.score) + " below " +
                   format_score(options.min_score));
  }
  if (options.action != nullptr && options.action[0] != '\0' && answer.action != options.action) {
    std::string shown = answer.has_action ? quoted(answer.action) : "(none)";
    return refused("action " + shown + " is not " + quoted(options.action));
  }
  CaptchaResult result;
  result.outcome = CaptchaOutcome::kPassed;
  return result;
}

bool captcha_read_secret(const char* path, std::string* secret, std::string* error) {
  secret->clear();
  std::string named_file = std::string("captcha_secret_file ") + (path != nullptr ? path : "");
  FILE* file = path != nullptr && path[0] != '\0' ? fopen(path, "rb") : nullptr;
  if (file == nullptr) {
    *error = named_file + " cannot be read";
    return false;
  }
  int c;
  bool too_long = false;
  while ((c = fgetc(file)) != EOF && c != '\n' && c != '\r') {
    if (secret->size() == kSecretLimit) {
      too_long = true;
      break;
    }
    secret->push_back(static_cast<char>(c));
  }
  bool failed = ferror(file) != 0;
  fclose(file);
  if (failed || too_long || secret->empty()) {
    wipe(secret);
    *error = named_file + (failed     ? " cannot be read"
                           : too_long ? " holds no secret key on its first line"
                                      : " is empty");
    return false;
  }
  return true;
}

bool captcha_verify(const CaptchaOptions& options, const char* token, const char* remote_addr,
                    CaptchaResult* result) {
  *result = CaptchaResult();
  if (token == nullptr || token[0] == '\0') {
    *result = refused("no token");
    return false;
  }
  if (strlen(token) > kCaptchaTokenLimit) {
    *result = refused("token over 16 KB");
    return false;
  }
  result->outcome = CaptchaOutcome::kMisconfigured;
  const char* url = options.verify_url;
  if (url == nullptr && options.provider != nullptr) url = options.provider->verify_url;
  if (url == nullptr) {
    result->reason = "no captcha provider and no captcha_verify_url";
    return false;
  }
  HttpsUrl parsed;
  if (!https_parse_url(url, &parsed, &result->reason)) {
    result->reason = "captcha_verify_url: " + result->reason;
    return false;
  }
  std::string secret;
  if (!captcha_read_secret(options.secret_file, &secret, &result->reason)) return false;
  std::string body = captcha_request_body(secret.c_str(), token, remote_addr);
  ask_service(options, url, body, result);
  withhold(&result->reason, secret);
  withhold(&result->reason, token);
  for (std::string& code : result->error_codes) {
    withhold(&code, secret);
    withhold(&code, token);
  }
  wipe(&body);
  wipe(&secret);
  return result->outcome == CaptchaOutcome::kPassed;
}

bool captcha_lets_through(const CaptchaResult& result, const CaptchaOptions& options) {
  if (result.outcome == CaptchaOutcome::kPassed) return true;
  return result.outcome == CaptchaOutcome::kUnreachable &&
         options.unreachable == CaptchaUnreachable::kSend;
}
