#pragma once
// The TLS and AUTH steps of the SMTP exchange, taken by the exchange
// (dialogue.cpp) and the trial exchange (probe.cpp); for src/smtp only.
// May use the transport, the shared steps, src/base and src/platform.

#include "smtp/steps.h"
#include "smtp/transport.h"

// TLS on the connection with the certificate checked for `host`; false
// after an error line, with what failed in session->failure.
bool smtp_start_tls(SmtpSession* session, const char* host);

// AUTH PLAIN, else LOGIN, with options.user: 1 accepted, 0 refused
// (logged), -1 no reply.
int smtp_authenticate(SmtpSession* session, const char* host, const EhloFeatures& features);

// After a greeting that did not come in time with STARTTLS, the error line
// asking whether the port is one of TLS from the first byte.
void smtp_note_no_greeting(const SmtpSession* session, const char* host);
