#pragma once
// One mail exchange for a message that may have a spool copy: the copy
// leaves the queue the moment the server accepts the message. Shared by the
// send of a CGI run and the resend worker; not for use outside src/deliver.

#include "deliver/spool_store.h"
#include "smtp/dialogue.h"

// How an exchange ended.
enum class AttemptEnd { kSent, kNoConnection, kTimedOut, kRefused };

// "the server did not respond" and the like; "" for kSent.
const char* attempt_end_text(AttemptEnd end);

struct Attempt {
  const SpoolStore* store;  // null: no spool copy
  const char* file;         // where the copy is now
  const char* base;         // NAME, for sent/NAME.txt
  bool delivered;           // the server took it
  bool out_of_spool;        // ...and the copy has left queue/ and work/
};

// The accepted hook of an SmtpMessage whose context is an Attempt.
void attempt_accepted(void* attempt);

// How an exchange for `attempt` ended, from its result.
AttemptEnd attempt_end(const Attempt& attempt, const SmtpResult& result);

// smtp_dialogue on `session` for one message, with the accepted hook set;
// the result in *result when it is not null.
AttemptEnd attempt_dialogue(SmtpSession* session, Attempt* attempt, const char* server,
                            const SmtpEnvelope& envelope, const SmtpContent& content,
                            SmtpResult* result = nullptr);
