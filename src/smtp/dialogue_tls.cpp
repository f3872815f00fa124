// The TLS and AUTH steps of the SMTP exchange: starting TLS on the
// connection (its failure logged with a hint when the port may be the other
// mode's), AUTH PLAIN or LOGIN with the credentials kept out of the log and
// wiped once sent.
#include "smtp/dialogue_tls.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/base64.h"
#include "base/log.h"
#include "base/program.h"

namespace {

constexpr char kPortHint[] = "; is this port for starttls (587) or tls (465)?";

// Starts TLS on the connection and makes it carry everything from here on.
bool start_tls(SmtpSession* session, const char* host) {
  char error[kTlsErrorSize];
  error[0] = '\0';
  // No time left: the handshake fails as one that timed out (0 would
  // mean no limit to tls_start).
  int seconds = smtp_step_seconds(session);
  TlsSession* tls = seconds == 0 ? nullptr
                                 : tls_start(session->socket, host, session->options.ca_file,
                                             seconds, error);
  if (seconds == 0) snprintf(error, kTlsErrorSize, "smtp_deadline reached before the handshake");
  if (tls == nullptr) {
    // Plain text or silence where a handshake was expected is most often a
    // port of the other mode; a certificate, a CA file or a name that fails
    // its check is not, nor a missing library.
    bool hint = session->options.security == kSmtpTls;
    static const char* const kOtherCauses[] = {"certificate", "CA file", "host name", "library",
                                               "memory", "smtp_deadline"};
    for (const char* other : kOtherCauses) {
      if (strstr(error, other) != nullptr) hint = false;
    }
    log_event(LOG_ERROR, "TLS with SMTP email server (%s) failed: %s%s", host, error,
              hint ? kPortHint : "");
    snprintf(session->failure, sizeof session->failure, "TLS failed: %s", error);
    return false;
  }
  session->tls = tls;
  log_event(LOG_DEBUG, "TLS started: %s, certificate verified for (%s)",
            tls_description(tls), host);
  return true;
}

// A line that carries credentials: sent as it is, traced as `shown`, and
// wiped from memory once sent.
void send_secret(SmtpSession* session, char* line, const char* shown) {
  sendr_masked(session, line, shown);
  memset(line, 0, strlen(line));
  free(line);
}

char* secret_line(const char* prefix, const char* data, size_t length) {
  char* encoded = base64_encode_copy(data, length);
  size_t size = strlen(prefix) + strlen(encoded) + 1;
  char* line = static_cast<char*>(malloc(size));
  if (line == nullptr) fatal_reply(kOutOfMemoryRecord);
  snprintf(line, size, "%s%s", prefix, encoded);
  memset(encoded, 0, strlen(encoded));
  free(encoded);
  return line;
}

enum AuthOutcome { kAuthAccepted, kAuthRefused, kAuthNoReply };

// AUTH PLAIN when offered, else AUTH LOGIN.
AuthOutcome authenticate(SmtpSession* session, const char* host, const EhloFeatures& features) {
  const char* user = session->options.user;
  const char* password = session->options.password != nullptr ? session->options.password : "";
  SmtpReplyText reply;
  int code = 0;
  if (features.auth_plain) {
    // The authorization identity stays empty: "\0user\0password".
    size_t user_length = strlen(user);
    size_t password_length = strlen(password);
    size_t length = user_length + password_length + 2;
    char* credentials = static_cast<char*>(malloc(length));
    if (credentials == nullptr) fatal_reply(kOutOfMemoryRecord);
    credentials[0] = '\0';
    memcpy(credentials + 1, user, user_length);
    credentials[1 + user_length] = '\0';
    memcpy(credentials + 2 + user_length, password, password_length);
    char* line = secret_line("AUTH PLAIN ", credentials, length);
    memset(credentials, 0, length);
    free(credentials);
    send_secret(session, line, "AUTH PLAIN (credentials hidden)");
    if (!smtp_read_reply_text(session, &code, &reply)) return kAuthNoReply;
    if (code == 235) return kAuthAccepted;
    log_event(LOG_ERROR, "SMTP email server (%s) refused AUTH PLAIN: {%s}", host, reply.text);
    return kAuthRefused;
  }
  if (!features.auth_login) {
    log_event(LOG_ERROR,
              "SMTP email server (%s) offers neither AUTH PLAIN nor AUTH LOGIN; the "
              "mail was not sent.", host);
    return kAuthRefused;
  }
  // Each step must be answered with 334; the challenges themselves are
  // not read, as servers word them differently.
  sendr(session, "AUTH LOGIN");
  if (!smtp_read_reply_text(session, &code, &reply)) return kAuthNoReply;
  if (code == 334) {
    send_secret(session, secret_line("", user, strlen(user)), "(user name hidden)");
    if (!smtp_read_reply_text(session, &code, &reply)) return kAuthNoReply;
  }
  if (code == 334) {
    send_secret(session, secret_line("", password, strlen(password)), "(password hidden)");
    if (!smtp_read_reply_text(session, &code, &reply)) return kAuthNoReply;
  }
  if (code == 235) return kAuthAccepted;
  log_event(LOG_ERROR, "SMTP email server (%s) refused AUTH LOGIN: {%s}", host, reply.text);
  return kAuthRefused;
}

}  // namespace

bool smtp_start_tls(SmtpSession* session, const char* host) { return start_tls(session, host); }

void smtp_note_no_greeting(const SmtpSession* session, const char* host) {
  if (!session->timed_out || session->options.security != kSmtpStarttls) return;
  log_event(LOG_ERROR, "SMTP email server (%s) sent no greeting in time%s", host, kPortHint);
}

int smtp_authenticate(SmtpSession* session, const char* host, const EhloFeatures& features) {
  AuthOutcome outcome = authenticate(session, host, features);
  return outcome == kAuthAccepted ? 1 : outcome == kAuthRefused ? 0 : -1;
}
