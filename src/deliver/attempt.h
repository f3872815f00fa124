#pragma once
// One dialogue for a message that may have a spool copy: the copy leaves
// the queue the moment the server accepts the message. Shared by the send
// of a CGI run and the resend worker; not for use outside src/deliver.

#include "deliver/spool_store.h"
#include "smtp/dialogue.h"

// How a dialogue ended.
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

// smtp_dialogue with the accepted hook set.
AttemptEnd attempt_dialogue(Attempt* attempt, const char* server, const SmtpEnvelope& envelope,
                            const SmtpContent& content);
