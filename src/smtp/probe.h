#pragma once
// A trial exchange with the mail server that sends no mail: connect,
// greeting, EHLO, STARTTLS or TLS with the certificate check, AUTH, then
// QUIT without MAIL, each step reported with the server's reply and its
// time. Follows the session's options like smtp_dialogue, smtp_deadline
// included. May use src/smtp, src/base and src/platform.
// Errors: as in the rest of src/smtp, logged where found.

#include <cstddef>

#include "smtp/transport.h"

// One step as it ended.
struct ProbeStep {
  const char* name;   // "connect", "greeting", "EHLO", "STARTTLS", "TLS", "AUTH", "QUIT"
  bool ok;
  int code;           // the server's reply code, 0 for none
  const char* reply;  // its lines joined by " | " (AUTH: its final line); "" for none
  long long ms;       // how long the step took
};

using ProbeReportFn = void (*)(const ProbeStep& step, void* context);

// Runs the steps against `server` (the `smtp` setting) until one fails.
// Returns true when every step succeeded. Credentials are sent as in a
// delivery and never reported.
bool smtp_probe(SmtpSession* session, const char* server, ProbeReportFn report,
                void* context);
