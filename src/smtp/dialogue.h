#pragma once
// The SMTP exchange for one message, and the second transaction that may
// follow it in the same session. May use the transport, the shared steps
// and the TLS steps of src/smtp, src/base and src/platform.
//
// Errors: as in the rest of src/smtp (transport.h); what the exchange came
// to (accepted or not, the reply that decided it, the follow-up's fate) is
// its SmtpResult.

#include "base/chunks.h"
#include "smtp/transport.h"

// Who the message is from and for: bare addresses; cc and bcc may be null.
struct SmtpEnvelope {
  const char* from;
  const char* to;
  const char* cc;
  const char* bcc;
};

// The message: the header block (its last line end included) and the body,
// with the log's copies of them, in which submitted text is escaped
// (null: the log shows the blocks themselves).
struct SmtpContent {
  const char* header;
  const char* body;
  const char* header_shown;
  const char* body_shown;
  // A body too large to hold: written from here in blocks in place of
  // `body` (whose copy for the log `body_shown` stays); null: none. Should
  // it fail on the way, the connection is closed without the end mark, so
  // no part of the message is ever taken for all of it.
  const ChunkSource* body_source = nullptr;
};

// One message of an exchange, and its hook: `accepted` (null for none) is
// called the moment the server accepts the message data with a 2xx, before
// the goodbye, so that a caller keeping a copy of the message can mark it
// delivered before anything else can go wrong.
struct SmtpMessage {
  SmtpEnvelope envelope;
  SmtpContent content;
  SmtpAcceptedFn accepted;
  void* accepted_context;
};

// What an exchange came to.
struct SmtpResult {
  bool sent;       // the server accepted the message data with a 2xx
  bool connected;  // a connection to the server was made
  bool timed_out;  // a read ran out of time
  // The last reply before QUIT (the one that decided the outcome): its code
  // and final line, 0 and "" for none.
  int reply_code;
  char reply_text[kReplyBufferSize + 1];
  // What failed on our side (a TLS handshake or certificate), "" for none.
  char failure[kReplyBufferSize + 1];
  bool follow_up_tried;  // the follow-up's MAIL FROM went out
  bool follow_up_sent;   // ...and the server took it
};

// Connects to `server` ("host" or "host:port"), sends the envelope (To,
// then BCC, then CC) and the message; `sent` only when the server accepted
// the message data with a 2xx reply (never without a server). The message
// content is sent only after the server answered DATA with 354. The
// exchange follows session->options. Without a port the port is 25, 587
// with STARTTLS and 465 with TLS. In both TLS modes: EHLO, no pipelining,
// STARTTLS only when offered and answered with 220 (bytes that came with
// the 220 are dropped), the certificate checked for options.tls_host, AUTH
// PLAIN or else LOGIN when options.user is set, and any failure of these
// ends the exchange with an error line: nothing falls back to plain text.
// With `follow_up` (null for none): a second transaction (MAIL FROM, RCPT
// TO its `envelope.to` only, DATA) right after the server accepted the
// first message, before the goodbye; without one the exchange is the same
// byte for byte. The connection stays open until smtp_close or
// smtp_session_end.
SmtpResult smtp_dialogue(SmtpSession* session, const char* server, const SmtpMessage& message,
                         const SmtpMessage* follow_up = nullptr);

// Writes `content` on the connection with a "." added in front of every line
// that begins with "." (a line begins at the start and after every LF).
// Returns 0, or -1 when a write failed.
int send_dot_stuffed(SmtpSession* session, const char* content);
