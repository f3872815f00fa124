#pragma once
// The CAPTCHA guard: the token a widget put into the form is sent with the
// site's secret to the provider's verification service, and its answer
// decides whether the submission goes on. Everything comes in by parameter
// (no settings, no form table); the module uses src/http for the exchange,
// base/json.h for the answer and the host matching of config/origin.h, and logs
// nothing: its reasons are safe to log (never the token, never the secret)
// and the caller writes them. Its texts are fixed-size fields cut short to
// fit, or malloc blocks; memory that runs out ends the run (fatal_reply).

#include <cstddef>

// One provider of the `captcha` setting.
struct CaptchaProvider {
  const char* name;         // "turnstile", "hcaptcha", "recaptcha", "altcha"
  const char* token_field;  // the form field its widget fills
  const char* verify_url;   // its documented verification endpoint; null: checked here
  // Its `score` rises with the risk (not with the trust, as reCAPTCHA's
  // does): captcha_min_score does not apply to it.
  bool score_is_risk;
};

// The provider called `name` (ASCII case ignored), or null for none.
const CaptchaProvider* captcha_provider(const char* name);

// Whether `name` is the token field of any provider (byte for byte, as form
// field names are compared).
bool captcha_is_token_field(const char* name);

constexpr double kCaptchaDefaultMinScore = 0.5;
constexpr int kCaptchaDefaultTimeoutSeconds = 5;
// Longer tokens are refused unsent (the providers' are at most a few KB).
constexpr size_t kCaptchaTokenLimit = 16 * 1024;

enum class CaptchaUnreachable { kRefuse, kSend };

// The settings of the guard, one member per key.
struct CaptchaOptions {
  const CaptchaProvider* provider = nullptr;  // captcha
  const char* secret_file = nullptr;          // captcha_secret_file
  double min_score = kCaptchaDefaultMinScore;  // captcha_min_score, 0.0-1.0
  int timeout_seconds = kCaptchaDefaultTimeoutSeconds;  // captcha_timeout
  CaptchaUnreachable unreachable = CaptchaUnreachable::kRefuse;  // captcha_unreachable
  const char* action = nullptr;      // captcha_action; null or "": not checked
  const char* verify_url = nullptr;  // captcha_verify_url; null: the provider's
  const char* ca_file = nullptr;     // captcha_ca_file; null: the system's roots
  // The allowed_origin hosts; none: the answer's hostname is not checked.
  const char* const* allowed_hosts = nullptr;
  int allowed_host_count = 0;
};

// A text of the service's answer (an error code, the hostname, the
// action) as far as it is kept: its first `length` bytes, NUL-ended, NUL
// bytes from "\u0000" possibly among them; `cut` when more followed. A
// reason quotes at most 64 bytes of one, and a host or an action that was
// cut matches nothing.
constexpr size_t kCaptchaTextSize = 256;
struct CaptchaText {
  char text[kCaptchaTextSize] = {};
  size_t length = 0;
  bool cut = false;
};

// How many error codes an answer keeps (and a reason quotes).
constexpr int kCaptchaCodesKept = 8;

// The verification service's answer, as far as the guard reads it.
struct CaptchaAnswer {
  bool success = false;  // true only when every "success" member is true
  bool has_hostname = false;
  CaptchaText hostname;
  // "error-codes", in order: the first kCaptchaCodesKept of them, and how
  // many the answer gave in all.
  CaptchaText error_codes[kCaptchaCodesKept];
  int error_code_count = 0;
  bool has_score = false;  // reCAPTCHA v3 gives one; hCaptcha Enterprise a risk score
  double score = 0.0;
  bool has_action = false;
  CaptchaText action;
};

enum class CaptchaOutcome {
  kPassed,
  kRefused,        // no token, or the answer or the options said no
  kUnreachable,    // no answer in time, a non-2xx status, not JSON
  kMisconfigured,  // the check cannot run: secret file, verification URL
};

// Room for a reason: eight quoted error codes, or a file or host name of
// any sensible length (a longer one is cut short).
constexpr size_t kCaptchaReasonSize = 1024;

struct CaptchaResult {
  CaptchaOutcome outcome = CaptchaOutcome::kRefused;
  // Why, for the log: "no token", "provider said no: invalid-input-response,
  // timeout-or-duplicate", "hostname evil.test not allowed", "score 0.3
  // below 0.5", "action x is not y", "connection refused by HOST:PORT",
  // "answered with status 500", "answer is not JSON (...)", ... Provider
  // texts in it are cut short and reduced to printable ASCII. Empty on
  // kPassed.
  char reason[kCaptchaReasonSize] = {};
  // The provider's, when it answered (as in CaptchaAnswer).
  CaptchaText error_codes[kCaptchaCodesKept];
  int error_code_count = 0;
};

// A secret key is a few dozen characters; a longer first line is no key.
constexpr size_t kCaptchaSecretLimit = 4096;

// The secret key read from captcha_secret_file: `length` bytes (a NUL byte
// of the file may be among them), NUL-ended.
struct CaptchaSecret {
  char text[kCaptchaSecretLimit + 1];
  size_t length;
};

// `secret`, `response` and, when `remote_addr` is neither null nor empty,
// `remoteip`, form-urlencoded ("a b&" is "a+b%26"), as a NUL-ended heap
// text: it holds the secret, so wipe it before free(). Memory that runs out
// ends the run (fatal_reply).
char* captcha_request_body(const char* secret, const char* token, const char* remote_addr);

// Reads the JSON answer (nested values skipped). False with `error` (of
// `error_size` bytes) for a text that is not one JSON object, has no
// boolean `success`, or a `score` that is not a number.
bool captcha_parse_answer(const char* body, size_t length, CaptchaAnswer* answer,
                          char* error, size_t error_size);

// The verdict on a well-formed answer: kPassed or kRefused with its reason.
// In this order: success, hostname (when allowed hosts are given; an answer
// without one is refused then), score (only when the answer has one),
// action (when the options name one). The score counts only when the
// provider's score is a trust score (options.provider null counts as one).
CaptchaResult captcha_verdict(const CaptchaAnswer& answer, const CaptchaOptions& options);

// The first line of `path`, CR/LF stripped, into *secret. False with
// `error` naming the file (never its content) when it cannot be read, the
// line is empty or longer than kCaptchaSecretLimit; *secret is empty and
// wiped then.
bool captcha_read_secret(const char* path, CaptchaSecret* secret, char* error,
                         size_t error_size);

// Verifies `token` (the value of the provider's field; null or "" for none)
// for the visitor at `remote_addr` (REMOTE_ADDR; may be null): reads the
// secret, posts to options.verify_url or the provider's URL within
// options.timeout_seconds, and judges the answer. A missing token costs no
// outbound call. Fills *result; returns whether the outcome is kPassed.
bool captcha_verify(const CaptchaOptions& options, const char* token, const char* remote_addr,
                    CaptchaResult* result);

// Whether the submission may be sent after `result`: passed, or the
// service was unreachable and options.unreachable is kSend.
bool captcha_lets_through(const CaptchaResult& result, const CaptchaOptions& options);
