#include "guard/captcha.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/fatal.h"
#include "base/json.h"
#include "base/program.h"
#include "base/secret_file.h"
#include "base/text.h"
#include "config/origin.h"
#include "http/http_client.h"

namespace {

const CaptchaProvider kProviders[] = {
    {"turnstile", "cf-turnstile-response",
     "https://challenges.cloudflare.com/turnstile/v0/siteverify", false},
    {"hcaptcha", "h-captcha-response", "https://api.hcaptcha.com/siteverify", true},
    {"recaptcha", "g-recaptcha-response", "https://www.google.com/recaptcha/api/siteverify",
     false},
    // Checked here (guard/altcha_judge.h): no service to ask.
    {"altcha", "altcha", nullptr, false},
};

// How much of one provider text (a code, a host name, an action) a reason
// quotes, and how many error codes (all those an answer keeps).
constexpr size_t kQuoteLimit = 64;
constexpr int kCodesQuoted = kCaptchaCodesKept;
// A quoted text: kQuoteLimit bytes, "..." and the NUL.
constexpr size_t kQuotedSize = kQuoteLimit + 4;

// Appends formatted text to the NUL-ended text in `text` (a block of `size`
// bytes), cut short to fit.
void add(char* text, size_t size, const char* format, ...) QUILLON_PRINTF(3, 4);
void add(char* text, size_t size, const char* format, ...) {
  size_t used = strlen(text);
  if (used + 1 >= size) return;
  va_list args;
  va_start(args, format);
  vsnprintf(text + used, size - used, format, args);
  va_end(args);
}

// Writes `text` form-urlencoded at `out` (room for three bytes each);
// returns the end.
char* put_encoded(char* out, const char* text) {
  static const char kHex[] = "0123456789ABCDEF";
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != '\0'; ++p) {
    unsigned char c = *p;
    bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                 c == '*' || c == '-' || c == '.' || c == '_';
    if (plain) {
      *out++ = static_cast<char>(c);
    } else if (c == ' ') {
      *out++ = '+';
    } else {
      *out++ = '%';
      *out++ = kHex[c >> 4];
      *out++ = kHex[c & 0xf];
    }
  }
  return out;
}

char* put_text(char* out, const char* text) {
  size_t length = strlen(text);
  memcpy(out, text, length);
  return out + length;
}

// A provider text as a reason may quote it, into `out` (kQuotedSize
// bytes): printable ASCII but braces and backslashes (which the log's own
// marks use), at most kQuoteLimit of it, "..." when there was more.
const char* quoted(const char* text, size_t length, bool more, char* out) {
  size_t n = 0;
  for (; n < length && n < kQuoteLimit; ++n) {
    char c = text[n];
    bool plain = c > ' ' && c < 0x7f && c != '{' && c != '}' && c != '\\';
    out[n] = plain ? c : '?';
  }
  out[n] = '\0';
  if (length > kQuoteLimit || more) memcpy(out + n, "...", 4);
  return out;
}

const char* quoted(const CaptchaText& text, char* out) {
  return quoted(text.text, text.length, text.cut, out);
}

// The first kCaptchaTextSize - 1 bytes of a member's value into *kept.
void keep(CaptchaText* kept, const char* value, size_t length) {
  kept->cut = length >= kCaptchaTextSize;
  kept->length = kept->cut ? kCaptchaTextSize - 1 : length;
  memcpy(kept->text, value, kept->length);
  kept->text[kept->length] = '\0';
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
  const char* value = member->value;
  size_t length = member->value_length;
  if (named(member, "success")) {
    bool is_true = !member->in_array && member->kind == JsonKind::kBool && length == 4 &&
                   memcmp(value, "true", 4) == 0;
    // Twice, with different values, is no clear yes.
    answer->success = is_true && (answer->success || !reading->saw_success);
    if (member->kind == JsonKind::kBool) reading->saw_success = true;
  } else if (named(member, "hostname") && member->kind == JsonKind::kString) {
    answer->has_hostname = true;
    keep(&answer->hostname, value, length);
  } else if (named(member, "error-codes") && member->kind == JsonKind::kString) {
    if (answer->error_code_count < kCaptchaCodesKept) {
      keep(&answer->error_codes[answer->error_code_count], value, length);
    }
    ++answer->error_code_count;
  } else if (named(member, "action") && member->kind == JsonKind::kString) {
    answer->has_action = true;
    keep(&answer->action, value, length);
  } else if (named(member, "score")) {
    if (member->kind != JsonKind::kNumber || member->in_array) {
      reading->bad_score = member->kind != JsonKind::kNull;
      return;
    }
    answer->has_score = true;
    answer->score = strtod(value, nullptr);
  }
}

// ": code, code, ..." after "provider said no".
void add_codes(char* reason, size_t size, const CaptchaAnswer& answer) {
  char shown[kQuotedSize];
  for (int i = 0; i < answer.error_code_count && i < kCodesQuoted; ++i) {
    add(reason, size, "%s%s", i > 0 ? ", " : ": ", quoted(answer.error_codes[i], shown));
  }
  if (answer.error_code_count > kCodesQuoted) add(reason, size, ", ...");
}

CaptchaResult refused(const char* format, ...) QUILLON_PRINTF(1, 2);
CaptchaResult refused(const char* format, ...) {
  CaptchaResult result;
  result.outcome = CaptchaOutcome::kRefused;
  va_list args;
  va_start(args, format);
  vsnprintf(result.reason, sizeof result.reason, format, args);
  va_end(args);
  return result;
}

bool host_allowed(const CaptchaAnswer& answer, const CaptchaOptions& options) {
  // A NUL inside would end the comparison early: "example.com\u0000.evil"
  // must not pass for example.com.
  const CaptchaText& host = answer.hostname;
  if (host.cut || memchr(host.text, '\0', host.length) != nullptr) return false;
  for (int i = 0; i < options.allowed_host_count; ++i) {
    if (same_host(answer.hostname.text, options.allowed_hosts[i])) return true;
  }
  return false;
}

bool same_action(const CaptchaText& action, const char* wanted) {
  return !action.cut && action.length == strlen(wanted) &&
         memcmp(action.text, wanted, action.length) == 0;
}

// Every copy of the `secret_length` bytes of `secret` among the *length
// bytes of `text` (a block of `size` bytes, at most kCaptchaReasonSize)
// replaced, in case a service echoes it; cut short to fit, NUL-ended.
// Returns whether it had to be cut.
bool withhold(char* text, size_t size, size_t* length, const char* secret,
              size_t secret_length) {
  if (secret_length == 0 || *length < secret_length) return false;
  static const char kMark[] = "[withheld]";
  char out[kCaptchaReasonSize];
  size_t n = 0;
  bool cut = false;
  for (size_t at = 0; at < *length;) {
    bool found = at + secret_length <= *length && memcmp(text + at, secret, secret_length) == 0;
    const char* from = found ? kMark : text + at;
    size_t count = found ? sizeof kMark - 1 : 1;
    at += found ? secret_length : 1;
    for (size_t i = 0; i < count; ++i) {
      if (n + 1 < size) {
        out[n++] = from[i];
      } else {
        cut = true;
      }
    }
  }
  memcpy(text, out, n);
  text[n] = '\0';
  *length = n;
  return cut;
}

// The secret and the token withheld from the reason and the error codes.
void withhold_all(CaptchaResult* result, const CaptchaSecret& secret, const char* token) {
  const char* texts[] = {secret.text, token};
  const size_t lengths[] = {secret.length, strlen(token)};
  for (int k = 0; k < 2; ++k) {
    size_t length = strlen(result->reason);
    withhold(result->reason, sizeof result->reason, &length, texts[k], lengths[k]);
    for (int i = 0; i < result->error_code_count && i < kCaptchaCodesKept; ++i) {
      CaptchaText* code = &result->error_codes[i];
      if (withhold(code->text, sizeof code->text, &code->length, texts[k], lengths[k])) {
        code->cut = true;
      }
    }
  }
}

void wipe(CaptchaSecret* secret) {
  memset(secret->text, 0, sizeof secret->text);
  secret->length = 0;
}

// Posts the request and turns the exchange into an outcome.
void ask_service(const CaptchaOptions& options, const char* url, const char* body,
                 CaptchaResult* result) {
  const HttpHeader accept = {"Accept", "application/json"};
  HttpRequest request;
  request.method = "POST";
  request.url = url;
  request.content_type = "application/x-www-form-urlencoded";
  request.body = body;
  request.body_length = strlen(body);
  request.headers = &accept;
  request.header_count = 1;
  request.ca_file = options.ca_file;
  request.timeout_seconds = options.timeout_seconds;
  HttpResult http;
  http_exchange(request, &http);
  result->outcome = CaptchaOutcome::kUnreachable;
  CaptchaAnswer answer;
  char error[256] = "";
  if (!http.ok) {
    snprintf(result->reason, sizeof result->reason, "%s", http.error);
  } else if (http.answer.status < 200 || http.answer.status > 299) {
    snprintf(result->reason, sizeof result->reason, "answered with status %d",
             http.answer.status);
  } else if (!captcha_parse_answer(http.answer.body->data,
                                   static_cast<size_t>(http.answer.body->length), &answer,
                                   error, sizeof error)) {
    snprintf(result->reason, sizeof result->reason, "answer is not JSON (%s)", error);
  } else {
    *result = captcha_verdict(answer, options);
  }
  http_result_free(&http);
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

char* captcha_request_body(const char* secret, const char* token, const char* remote_addr) {
  bool remote = remote_addr != nullptr && remote_addr[0] != '\0';
  size_t plain = strlen(secret) + strlen(token) + (remote ? strlen(remote_addr) : 0);
  char* body = static_cast<char*>(malloc(sizeof "secret=&response=&remoteip=" + 3 * plain));
  if (body == nullptr) fatal_reply(kOutOfMemory);
  char* end = put_encoded(put_text(body, "secret="), secret);
  end = put_encoded(put_text(end, "&response="), token);
  if (remote) end = put_encoded(put_text(end, "&remoteip="), remote_addr);
  *end = '\0';
  return body;
}

bool captcha_parse_answer(const char* body, size_t length, CaptchaAnswer* answer, char* error,
                          size_t error_size) {
  *answer = CaptchaAnswer();
  AnswerReading reading = {answer, false, false};
  JsonError json_error = {"", 0};
  if (!json_read_object(body, length, /*skip_nested=*/true, take_member, &reading, &json_error)) {
    *answer = CaptchaAnswer();
    snprintf(error, error_size, "%s at byte %llu", json_error.reason,
             static_cast<unsigned long long>(json_error.offset));
    return false;
  }
  if (!reading.saw_success || reading.bad_score) {
    *answer = CaptchaAnswer();
    snprintf(error, error_size, "%s",
             reading.bad_score ? "score is not a number" : "no boolean success member");
    return false;
  }
  return true;
}

CaptchaResult captcha_verdict(const CaptchaAnswer& answer, const CaptchaOptions& options) {
  char shown[kQuotedSize];
  char wanted[kQuotedSize];
  if (!answer.success) {
    CaptchaResult result = refused("provider said no");
    add_codes(result.reason, sizeof result.reason, answer);
    for (int i = 0; i < kCaptchaCodesKept; ++i) result.error_codes[i] = answer.error_codes[i];
    result.error_code_count = answer.error_code_count;
    return result;
  }
  if (options.allowed_host_count > 0 && !host_allowed(answer, options)) {
    if (!answer.has_hostname || answer.hostname.length == 0) {
      return refused("answer names no hostname");
    }
    return refused("hostname %s not allowed", quoted(answer.hostname, shown));
  }
  bool trust_score = options.provider == nullptr || !options.provider->score_is_risk;
  if (trust_score && answer.has_score && answer.score < options.min_score) {
    return refused("score %g below %g", answer.score, options.min_score);
  }
  if (options.action != nullptr && options.action[0] != '\0' &&
      !same_action(answer.action, options.action)) {
    return refused("action %s is not %s",
                   answer.has_action ? quoted(answer.action, shown) : "(none)",
                   quoted(options.action, strlen(options.action), false, wanted));
  }
  CaptchaResult result;
  result.outcome = CaptchaOutcome::kPassed;
  return result;
}

bool captcha_read_secret(const char* path, CaptchaSecret* secret, char* error,
                         size_t error_size) {
  int open_error = 0;
  SecretLine state = secret_file_line(path, secret->text, kCaptchaSecretLimit, &secret->length,
                                      &open_error);
  if (state == SecretLine::kRead) return true;
  snprintf(error, error_size, "captcha_secret_file %s%s", path != nullptr ? path : "",
           state == SecretLine::kTooLong ? " holds no secret key on its first line"
           : state == SecretLine::kEmpty ? " is empty"
                                         : " cannot be read");
  return false;
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
    snprintf(result->reason, sizeof result->reason,
             "no captcha provider and no captcha_verify_url");
    return false;
  }
  HttpUrl parsed;
  char url_error[kHttpErrorSize];
  if (!https_parse_url(url, &parsed, url_error, sizeof url_error)) {
    snprintf(result->reason, sizeof result->reason, "captcha_verify_url: %s", url_error);
    return false;
  }
  http_url_free(&parsed);
  CaptchaSecret secret;
  if (!captcha_read_secret(options.secret_file, &secret, result->reason, sizeof result->reason)) {
    return false;
  }
  char* body = captcha_request_body(secret.text, token, remote_addr);
  ask_service(options, url, body, result);
  withhold_all(result, secret, token);
  memset(body, 0, strlen(body));
  free(body);
  wipe(&secret);
  return result->outcome == CaptchaOutcome::kPassed;
}

bool captcha_lets_through(const CaptchaResult& result, const CaptchaOptions& options) {
  if (result.outcome == CaptchaOutcome::kPassed) return true;
  return result.outcome == CaptchaOutcome::kUnreachable &&
         options.unreachable == CaptchaUnreachable::kSend;
}
