#pragma once
// A built message marked as spam for a mailbox rule to sort: its subject
// begins with a tag ("[SPAM] ") and X-Spam-Flag, X-Spam-Score and
// X-Spam-Symbols header lines follow the others. Also the message's bytes
// as a filter engine reads them. Part of compose: may use compose, config
// and base.

#include "base/text.h"
#include "compose/message.h"

// Tags `message` (both copies) in place; `score` null leaves out
// X-Spam-Score. The symbols are made one printable ASCII line.
void message_tag_spam(Message* message, const char* eol, const char* tag, const char* score,
                      const char* symbols);

// The message as the server would receive it (header block, empty line,
// body), appended to `out`, every line ending `eol`.
void message_wire_append(const Message& message, const char* eol, TextBuffer* out);
