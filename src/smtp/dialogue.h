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
// g_smtp's options (smtp_set_options). The log shows `header_shown` and
// `body_shown` in place of the blocks (the blocks themselves when null):
// copies with the submitted text escaped (build_header_block).
int smtp_dialogue(char* server, const char* from, const char* to,
                  const char* header_block, const char* body,
                  const char* header_shown = nullptr, const char* body_shown = nullptr);

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
