#pragma once
// The spam engines the program asks about a message it is about to send:
// rspamd (HTTP, POST /checkv2 on its scanning worker) and SpamAssassin's
// spamd (the spamc protocol, SYMBOLS, over TCP or a Unix socket), and
// what their answers mean for the verdict. Also the learning calls of the
// owner's review (rspamd's controller, spamd's TELL) and the probe of
// -check. May use http, the platform's sockets, config and base.
//
// Errors: a call that fails gives false with a one-line reason in the
// result (nothing is logged here); the judge decides by spam_unreachable.

#include <cstddef>

#include "config/settings.h"

// Who sent the message, as rspamd's headers carry it; spamd gets a
// Received: line made of client_addr and helo instead.
struct EngineEnvelope {
  const char* client_addr;  // the visitor's address; may be null
  const char* helo;         // the name the program greets its server with
  const char* from;         // the envelope sender; may be null
  const char* rcpt[3];      // to, cc, bcc; null when absent
};

struct EngineResult {
  bool reached = false;  // a well-formed answer was read
  char action[32] = "";  // rspamd's action ("no action", "add header", "reject"...)
  bool spam = false;     // spamd's "Spam: True"
  double score = 0;
  double threshold = 0;    // rspamd's required_score, spamd's required score
  char symbols[200] = "";  // the rules that fired, ", " between them (cut short)
  char error[300] = "";    // without `reached`: why
  long long elapsed_ms = 0;
};

// Asks the engine the settings name about `message` (the bytes as they
// would be sent, line ends as sent), within spam_timeout and `deadline_ms`
// (absolute os_monotonic_ms(); 0: none). Returns result->reached.
bool spam_engine_check(const Settings& settings, const char* message, size_t length,
                       const EngineEnvelope& envelope, long long deadline_ms, EngineResult* result);

// What an engine's answer comes to under the settings.
enum class EngineDecision { kPass, kTag, kQuarantine, kRefuse };
EngineDecision spam_engine_decide(const Settings& settings, const EngineResult& result);

// "rspamd 14.20, GTUBE, BAYES_SPAM" into `out`.
void spam_engine_reasons(const Settings& settings, const EngineResult& result, char* out,
                         size_t size);

// Teaches the engine that `message` (a whole kept message) is spam or ham:
// spamd TELL, or rspamd's controller (spam_controller, with the password of
// spam_controller_password_file) at /learnspam or /learnham. False with the
// reason in `error`.
bool spam_engine_learn(const Settings& settings, const char* message, size_t length, bool spam,
                       char* error, size_t error_size);

// The GTUBE test text, which both engines score as spam.
extern const char kGtube[];

// spamd's protocol pieces, apart for the tests: the answer of SYMBOLS read
// into `result` (false when it is not one).
bool spamd_read_answer(const char* answer, size_t length, EngineResult* result);
// rspamd's /checkv2 JSON read into `result` (false when it is not one).
bool rspamd_read_answer(const char* body, size_t length, EngineResult* result);

// Each engine's own calls, behind spam_engine_check and spam_engine_learn.
bool rspamd_check(const Settings& settings, const char* message, size_t length,
                  const EngineEnvelope& envelope, long long deadline_ms, EngineResult* result);
bool rspamd_learn(const Settings& settings, const char* message, size_t length, bool spam,
                  char* error, size_t error_size);
bool spamd_check(const Settings& settings, const char* message, size_t length,
                 const EngineEnvelope& envelope, long long deadline_ms, EngineResult* result);
bool spamd_learn(const Settings& settings, const char* message, size_t length, bool spam,
                 char* error, size_t error_size);
