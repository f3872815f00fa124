#pragma once
// The SMTP dialogue's own (not for other layers): the text of one reply,
// read for an error line, shared by the exchange (dialogue.cpp) and its TLS
// and AUTH steps (dialogue_tls.cpp). The steps themselves are declared in
// smtp/dialogue.h (smtp_start_tls, smtp_authenticate).

#include "smtp/transport.h"

// The lines of one reply, joined by blanks, for an error line.
struct SmtpReplyText {
  char text[kReplyBufferSize + 1];
  int length;
};

// Reads one reply and its text. Returns false when none could be read.
bool smtp_read_reply_text(int* code, SmtpReplyText* reply);
