#pragma once
// The SMTP exchange for one message.

// The envelope of the one message: filled while the header lines are
// classified, read by the exchange.
struct Envelope {
  char* from;  // bare addresses, or null
  char* to;
  char* cc;
  char* bcc;
  bool subject_found;
};
extern Envelope g_envelope;

// Connects to `server` ("host" or "host:port"; changed in place), sends the
// envelope (`from`, `to`, and the CC and BCC of g_envelope) and the message,
// and returns 1 only when the server accepted the message data with a 2xx
// reply; 0 otherwise (also when there is no server). The message content is
// sent only after the server answered DATA with 354. The exchange follows
// g_smtp's options (smtp_set_options). Without a port the port is 25, 587
// with STARTTLS and 465 with TLS. In both TLS modes: EHLO, no pipelining,
// STARTTLS only when offered and answered with 220 (bytes that came with
// the 220 are dropped), the certificate checked for options.tls_host, AUTH
// PLAIN or else LOGIN when options.user is set, and any failure of these
// ends the exchange with an error line: nothing falls back to plain text.
// The log shows `header_shown` and
// `body_shown` in place of the blocks (the blocks themselves when null):
// copies with the submitted text escaped (build_header_block).
int smtp_dialogue(char* server, const char* from, const char* to,
                  const char* header_block, const char* body,
                  const char* header_shown = nullptr, const char* body_shown = nullptr);

// Called the moment the server accepts the message data with a 2xx, before
// the goodbye, so that a caller keeping a copy of the message can mark it
// delivered before anything else can go wrong. Null (the default) for none.
using SmtpAcceptedFn = void (*)(void* context);
void smtp_on_accepted(SmtpAcceptedFn accepted, void* context);

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

// Takes one EHLO reply line after its "250-" / "250 " (`length` bytes).
void ehlo_feature_line(const char* text, int length, EhloFeatures* features);
