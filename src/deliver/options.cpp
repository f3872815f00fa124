// The delivery settings turned into the SMTP layer's options.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "base/program.h"
#include "base/secret_file.h"
#include "deliver/mail_options.h"

namespace {

// The longest first line taken from smtp_password_file.
constexpr size_t kMaxPasswordLength = 4096;

// A text setting that is absent or empty gives null.
const char* given(const char* text) { return text != nullptr && text[0] != '\0' ? text : nullptr; }

// The first line of the file at `path` without its line end, as a heap
// copy, or null after an error line.
char* read_password_file(const char* path) {
  char* line = static_cast<char*>(malloc(kMaxPasswordLength + 1));
  if (line == nullptr) fatal_reply(kOutOfMemory);
  size_t length = 0;
  int open_error = 0;
  SecretLine state = secret_file_line(path, line, kMaxPasswordLength, &length, &open_error);
  if (state == SecretLine::kRead) return line;
  free(line);
  if (state == SecretLine::kCannotOpen) {
    log_event(LOG_ERROR, "smtp_password_file {%s} cannot be opened: %s.", path,
              strerror(open_error));
    return nullptr;
  }
  log_event(LOG_ERROR, "smtp_password_file {%s} %s.", path,
            state == SecretLine::kCannotRead ? "cannot be read"
            : state == SecretLine::kTooLong  ? "has a first line that is too long"
                                             : "has an empty first line");
  return nullptr;
}

// The credentials: false after an error line when they cannot be used.
bool credentials(const Settings& settings, bool tls, DeliveryOptions* out) {
  const char* user = given(settings.smtp_user);
  const char* password = given(settings.smtp_password);
  const char* password_file = given(settings.smtp_password_file);
  if (user == nullptr && (password != nullptr || password_file != nullptr)) {
    log_event(LOG_ERROR, "a password is set but no smtp_user.");
    return false;
  }
  if (user != nullptr && password == nullptr && password_file == nullptr) {
    log_event(LOG_ERROR, "smtp_user {%s} is set but neither smtp_password nor "
              "smtp_password_file.", user);
    return false;
  }
  if (user != nullptr && !tls) {
    log_event(LOG_ERROR, "smtp_user needs smtp_security starttls or tls: a password "
              "is never sent unencrypted.");
    return false;
  }
  if (password_file != nullptr) {
    if (password != nullptr) {
      log_event(LOG_DEBUG, "smtp_password_file is used; smtp_password is ignored.");
    }
    out->file_password = read_password_file(password_file);
    if (out->file_password == nullptr) return false;
    password = out->file_password;
  }
  out->smtp.user = user;
  out->smtp.password = password;
  return true;
}

}  // namespace

bool delivery_options(const Settings& settings, DeliveryOptions* out) {
  *out = DeliveryOptions();
  bool tls = settings.smtp_security != kSecurityNone;
  SmtpOptions& options = out->smtp;
  options.line_ending = settings_line_ending(settings);
  options.use_helo = settings.use_helo && !tls;
  options.timeout_seconds = settings.smtp_timeout;
  options.deadline_seconds = settings.smtp_deadline;
  options.security = settings.smtp_security == kSecurityStarttls ? kSmtpStarttls
                     : settings.smtp_security == kSecurityTls    ? kSmtpTls
                                                                 : kSmtpPlain;
  options.ca_file = given(settings.smtp_ca_file);
  // The certificate must carry the name the settings give for the server.
  if (settings.smtp != nullptr) {
    const char* colon = strchr(settings.smtp, ':');
    size_t length = colon != nullptr ? static_cast<size_t>(colon - settings.smtp)
                                     : strlen(settings.smtp);
    out->tls_host = copy_bytes_or_die(settings.smtp, length, kOutOfMemory);
  }
  options.tls_host = out->tls_host;
  // The name of the site the message is from, never one a visitor gave.
  hello_name_choose(settings.hello_name, settings.standard_headers, nullptr, out->hello_name,
                    sizeof out->hello_name);
  options.hello_name = out->hello_name;
  return credentials(settings, tls, out);
}

void delivery_options_free(DeliveryOptions* options) {
  free(options->tls_host);
  if (options->file_password != nullptr) {
    memset(options->file_password, 0, strlen(options->file_password));
    free(options->file_password);
  }
  *options = DeliveryOptions();
}
