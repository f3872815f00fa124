#pragma once
// A CGI run's side of the verdicts that keep a message for review: the
// message, as it would have been sent, into quarantine/ under the
// submission's id; without a spool to keep it in, mailed tagged as spam
// instead, so that nothing is lost. Driver level: may use every layer.

#include "compose/envelope.h"
#include "compose/message.h"
#include "config/settings.h"
#include "guard/pipeline.h"

// Whether `verdict` keeps a copy: kQuarantined, and kRefused with `keep`.
bool verdict_keeps(const Verdict& verdict);

// Keeps the message in quarantine/ as ID.txt with the verdict's mark,
// reasons and score. False, after an error line that says why, when there
// is no spool_folder or the copy cannot be written: the caller then mails
// it tagged (quarantine_tag).
bool quarantine_submission(const Settings& settings, const char* id, const Envelope& envelope,
                           const Message& message, const Verdict& verdict);

// Tags the message as spam (the subject tag, X-Spam-* headers) with the
// verdict's score and reasons.
void quarantine_tag(const Settings& settings, Message* message, const Verdict& verdict);
