#pragma once
// How one submission ended, in the words and HTTP statuses that a script
// reading the JSON answer tests, and that the log's outcome line begins
// with. The driver decides the outcome from what the guards, the decoders
// and the delivery reported; the reply layer answers by it. Pure data: this
// header includes nothing and may be used by every layer.

enum class Outcome {
  kSent,                // the server took it (a honeypot catch and a duplicate answer so too)
  kSpooled,             // kept in the spool for a later try, whatever the server said
  kMissing,             // required fields are empty
  kRefused,             // the origin or recipient guard
  kCaptchaFailed,       // the CAPTCHA answer said no, or there was no token
  kCaptchaUnreachable,  // the CAPTCHA service could not be asked
  kRateLimited,         // too many submissions from this address
  kTooLarge,            // the body or an attachment is over its limit
  kUnsupported,         // a body type, or an attachment type, that is not taken
  kMalformed,           // a body that cannot be read, or an address that is refused
  kServerRefused,       // the mail server was reached and did not take it (not kept)
  kServerUnreachable,   // no mail server answered (not kept)
  kNotConfigured,       // the settings give no From, To or Subject, or unusable delivery settings
  kServerError,         // the run could not go on (memory ran out); nothing was sent
  kSpam,                // the content judges or the spam engine refused it
  kInfected,            // the virus scanner found malware in an attached file
  kScanUnavailable,     // the files could not be scanned and there is no spool to wait in
  kUnknownForm,         // the request's path names no form of this install
};

struct OutcomeInfo {
  const char* word;         // the JSON answer's "outcome"
  int status;               // its HTTP status
  const char* status_text;  // the reason phrase of the Status: line
  bool ok;                  // the JSON answer's "ok"
};

// Indexed by Outcome; the words and statuses are fixed, since scripts test them.
inline const OutcomeInfo& outcome_info(Outcome outcome) {
  static const OutcomeInfo kTable[] = {
      {"sent", 200, "OK", true},
      {"spooled", 202, "Accepted", true},
      {"missing", 422, "Unprocessable Content", false},
      {"refused", 403, "Forbidden", false},
      {"captcha_failed", 403, "Forbidden", false},
      {"captcha_unreachable", 503, "Service Unavailable", false},
      {"rate_limited", 429, "Too Many Requests", false},
      {"too_large", 413, "Content Too Large", false},
      {"unsupported", 415, "Unsupported Media Type", false},
      {"malformed", 400, "Bad Request", false},
      {"server_refused", 502, "Bad Gateway", false},
      {"server_unreachable", 503, "Service Unavailable", false},
      {"not_configured", 500, "Internal Server Error", false},
      {"server_error", 500, "Internal Server Error", false},
      {"spam", 403, "Forbidden", false},
      {"infected", 422, "Unprocessable Content", false},
      {"scan_unavailable", 503, "Service Unavailable", false},
      {"unknown_form", 404, "Not Found", false},
  };
  return kTable[static_cast<int>(outcome)];
}
