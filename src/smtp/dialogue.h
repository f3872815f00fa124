#pragma once
// The SMTP exchange for one message.

#include "smtp/transport.h"

// Errors: yes/no answers are bool; what went wrong is logged where it is
// found, and the last reply before QUIT (the one that decided the outcome)
// is in g_smtp.last_code / g_smtp.last_reply.

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
};

// Connects to `server` ("host" or "host:port"), sends the envelope (To,
// then BCC, then CC) and the message, and returns true only when the server
// accepted the message data with a 2xx reply; false otherwise (also when
// there is no server). The message content is sent only after the server
// answered DATA with 354. The exchange follows g_smtp's options
// (smtp_set_options). Without a port the port is 25, 587 with STARTTLS and
// 465 with TLS. In both TLS modes: EHLO, no pipelining, STARTTLS only when
// offered and answered with 220 (bytes that came with the 220 are dropped),
// the certificate checked for options.tls_host, AUTH PLAIN or else LOGIN
// when options.user is set, and any failure of these ends the exchange with
// an error line: nothing falls back to plain text.
bool smtp_dialogue(const char* server, const SmtpEnvelope& envelope, const SmtpContent& content);

// Called the moment the server accepts the message data with a 2xx, before
// the goodbye, so that a caller keeping a copy of the message can mark it
// delivered before anything else can go wrong. Null (the default) for none.
void smtp_on_accepted(SmtpAcceptedFn accepted, void* context);

// A second message for the same session: sent as a second transaction
// (MAIL FROM, RCPT TO `envelope.to` only, DATA) right after the server
// accepted the first one, before the goodbye. `accepted` is its own
// accepted hook. The dialogue fills in `tried` (its MAIL FROM went out) and
// `sent` (the server took it).
struct SmtpFollowUp {
  SmtpEnvelope envelope;
  SmtpContent content;
  SmtpAcceptedFn accepted;
  void* accepted_context;
  bool tried;
  bool sent;
};

// The follow-up of the next smtp_dialogue (null, the default, for none). It
// is used once: the dialogue clears it. Without one, the exchange is the
// same byte for byte as before this existed.
void smtp_set_follow_up(SmtpFollowUp* follow_up);

// Writes `content` on the connection with a "." added in front of every line
// that begins with "." (a line begins at the start and after every LF).
// Returns 0, or -1 when a write failed.
int send_dot_stuffed(const char* content);

// The port of the text after the colon of an `smtp` setting, read as atoi
// does (leading white space, a sign, digits up to the first non-digit; no
// digits give 0) and taken modulo 65536.
int smtp_port_from_text(const char* text);

// What an EHLO reply offers, from its lines after the code.
struct EhloFeatures {
  bool pipelining;
  bool starttls;
  bool auth_plain;
  bool auth_login;
};

// The steps of the exchange that smtp_probe (src/smtp only) takes one by
// one. smtp_split_server: a heap copy of the host of an `smtp` setting and
// its port (from the text, else the security mode's). smtp_start_tls: TLS
// on the connection with the certificate checked (false after an error
// line). smtp_authenticate: AUTH with options.user; 1 accepted, 0 refused
// (logged), -1 no reply. smtp_note_no_greeting: after a greeting that did
// not come in time with STARTTLS, the error line asking whether the port is
// one of TLS from the first byte.
char* smtp_split_server(const char* text, int* port);
void smtp_note_no_greeting(const char* host);
bool smtp_start_tls(const char* host);
int smtp_authenticate(const char* host, const EhloFeatures& features);

// Takes one EHLO reply line after its "250-" / "250 " (`length` bytes).
void ehlo_feature_line(const char* text, int length, EhloFeatures* features);
