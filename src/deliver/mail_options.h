#pragma once
// The delivery settings turned into the SMTP layer's options: for the mail
// destination (deliver/send.cpp, deliver/resend.cpp) and the driver's trial
// exchange (-check). May use src/smtp, src/config and src/base.
// Errors: false after an error line (see delivery_options).

#include "base/hostname.h"
#include "config/settings.h"
#include "smtp/transport.h"

// The settings turned into SmtpOptions, with the texts they point into.
struct DeliveryOptions {
  SmtpOptions smtp;
  char* tls_host;       // heap: the server's name without the port, or null
  char* file_password;  // heap: the first line of smtp_password_file, or null
  char hello_name[kMaxHostName + 1];  // the EHLO/HELO name
};

// Fills `out` from the delivery settings: line ending, greeting, time
// limit, security mode, CA file, the name the server's certificate must
// carry, and the credentials (the password from smtp_password_file when
// set). Returns false after an error line when they cannot be used: a user
// without a password or the reverse, a user without TLS, a password file
// that cannot be read or whose first line is empty. Release with
// delivery_options_free (also after false).
bool delivery_options(const Settings& settings, DeliveryOptions* out);
void delivery_options_free(DeliveryOptions* options);
