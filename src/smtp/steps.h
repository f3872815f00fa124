#pragma once
// The pieces the SMTP exchange (dialogue.cpp), its TLS and AUTH steps
// (dialogue_tls.cpp) and the trial exchange (probe.cpp) share: the server
// setting split into host and port, the text of one reply for an error
// line, and what an EHLO reply offers. For src/smtp only; may use the
// transport, src/base and src/platform.

#include "smtp/transport.h"

// The port of the text after the colon of an `smtp` setting, read as atoi
// does (leading white space, a sign, digits up to the first non-digit; no
// digits give 0) and taken modulo 65536.
int smtp_port_from_text(const char* text);

// A heap copy of the host of an `smtp` setting and its port (from the
// text, else the security mode's: 25, 587 with STARTTLS, 465 with TLS).
char* smtp_split_server(const char* text, SmtpSecurity security, int* port);

// The lines of one reply, joined by blanks, for an error line.
struct SmtpReplyText {
  char text[kReplyBufferSize + 1];
  int length;
};

// Reads one reply and its text. Returns false when none could be read.
bool smtp_read_reply_text(SmtpSession* session, int* code, SmtpReplyText* reply);

// What an EHLO reply offers, from its lines after the code.
struct EhloFeatures {
  bool pipelining;
  bool starttls;
  bool auth_plain;
  bool auth_login;
};

// Takes one EHLO reply line after its "250-" / "250 " (`length` bytes).
void ehlo_feature_line(const char* text, int length, EhloFeatures* features);
