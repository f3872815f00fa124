#include "compose/message.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "compose/envelope.h"
#include "compose/mime.h"
#include "compose/guards.h"
#include "compose/rate.h"
#include "compose/spool.h"
#include "config/settings.h"
#include "base/program.h"
#include "form/form.h"
#include "smtp/dialogue.h"
#include "smtp/transport.h"
#include "platform/os.h"

Message g_message;

const char* message_line_ending() {
  // Submission servers refuse bare LF, and a TLS mode is only ever used
  // with them.
  return g_settings.smtp_security != kSecurityNone ? "\r\n" : g_settings.email_line_ending;
}

static const char* or_empty(const char* text) {
  return text != nullptr ? text : "";
}

// printf of a null %s is undefined; the log shows "(null)" on purpose.
static const char* or_null(const char* text) {
  return text != nullptr ? text : "(null)";
}

// Writes the header line "text colon value" with its value's line breaks
// as blanks and, where needed, as encoded words.
static void append_line_with_encoding(TextBuffer* block, const char* text,
                                      const char* colon, const char* value,
                                      const char* eol) {
  size_t length = strlen(text) + strlen(colon) + 1 + strlen(value);
  char* line = static_cast<char*>(malloc(length + 1));
  if (line == nullptr) fatal_reply("Unable to malloc memory");
  snprintf(line, length + 1, "%s%s %s", text, colon, value);
  for (char* p = line; *p != '\0'; ++p) {
    if (*p == '\r' || *p == '\n') *p = ' ';
  }
  append_header_line_encoded(block, line, eol);
  free(line);
}

static void append_header_line(TextBuffer* block, const char* text,
                               const char* value) {
  size_t length = strlen(text);
  const char* colon = g_settings.add_headerline_colon && length > 0 &&
                              text[length - 1] != ':'
                          ? ":"
                          : "";
  const char* eol = message_line_ending();
  if (g_settings.standard_headers) {
    append_line_with_encoding(block, text, colon, value, eol);
    return;
  }
  if (strpbrk(value, "\r\n") == nullptr) {
    text_buffer_append(block, "%s%s %s%s", text, colon, value, eol);
    return;
  }
  // A line break inside a submitted value would start a header line of the
  // sender's choosing (a Bcc, say), so the value stays on one line.
  size_t value_length = strlen(value);
  char* flat = static_cast<char*>(malloc(value_length + 1));
  if (flat == nullptr) fatal_reply("Unable to malloc memory");
  for (size_t i = 0; i <= value_length; ++i) {
    flat[i] = (value[i] == '\r' || value[i] == '\n') ? ' ' : value[i];
  }
  text_buffer_append(block, "%s%s %s%s", text, colon, flat, eol);
  free(flat);
}

// "Reply-To: <address>" from the visitor's submitted address, when it is
// exactly one.
static void append_reply_to(TextBuffer* block) {
  const char* name = g_settings.reply_to_variable;
  if (name == nullptr) return;
  const char* why = nullptr;
  char* address = reply_to_address(form_value(name), &why);
  if (address == nullptr) {
    log_event(LOG_DEBUG, "no Reply-To: the submitted value of (%s) is not one address: %s",
              name, why);
    return;
  }
  text_buffer_append(block, "Reply-To: <%s>%s", address, message_line_ending());
  free(address);
}

// Date, Message-ID and the MIME headers of a UTF-8 text body.
static void append_standard_headers(TextBuffer* block, const char* body) {
  const char* eol = message_line_ending();
  OsZonedTime now;
  os_zoned_time(&now);
  char date[64];
  format_mail_date(now, date, sizeof date);
  text_buffer_append(block, "Date: %s%s", date, eol);

  // Unique across processes and machines: the time, the process and
  // random bytes, at the sender's own domain.
  unsigned char random[8] = {0};
  if (!os_random_bytes(random, sizeof random)) {
    log_event(LOG_ERROR, "no random bytes for the Message-ID; using the time and process only");
  }
  char unique[2 * sizeof random + 1];
  for (size_t i = 0; i < sizeof random; ++i) {
    snprintf(unique + 2 * i, 3, "%02x", random[i]);
  }
  const char* at = g_envelope.from != nullptr ? strchr(g_envelope.from, '@') : nullptr;
  const char* domain = at != nullptr ? at + 1 : "localhost";
  text_buffer_append(block, "Message-ID: <%llx.%x.%s@%s>%s", now.unix_seconds,
                     static_cast<unsigned>(os_pid()), unique, domain, eol);

  text_buffer_append(block, "MIME-Version: 1.0%sContent-Type: text/plain; charset=UTF-8%s",
                     eol, eol);
  text_buffer_append(block, "Content-Transfer-Encoding: %s%s",
                     body_is_7bit(body != nullptr ? body : "") ? "7bit" : "quoted-printable",
                     eol);
}

TextBuffer* build_header_block(const char* body) {
  TextBuffer* block = text_buffer_new("");
  for (int i = 0; i < header_lines.count; ++i) {
    const char* text = or_empty(header_lines.entries[i].text);
    const char* value = or_empty(header_lines.entries[i].value);
    bool had_bcc = g_envelope.bcc != nullptr;
    if (!classify_header(text, value)) continue;
    // The blind copy goes into the envelope only: written here, its address
    // would show to every other recipient.
    if (!had_bcc && g_envelope.bcc != nullptr) continue;
    append_header_line(block, text, value);
  }
  append_reply_to(block);
  if (g_settings.standard_headers) append_standard_headers(block, body);
  log_event(LOG_DEBUG, "generated headers {%s}", block->data);
  text_buffer_append(block,
                     "X-QUILLON: sent by web form submition activated CGI "
                     "program.%s",
                     message_line_ending());
  return block;
}

static void append_body_entry(TextBuffer* block, const char* indent,
                              const char* label, const char* value) {
  size_t label_length = strlen(label);
  // Continuation lines are indented by the label's length; the cap keeps
  // that indent to at most 500 blanks.
  if (label_length >= static_cast<size_t>(kMaxBodyLabel)) return;
  const char* eol = message_line_ending();
  if (strchr(value, '\n') == nullptr) {
    text_buffer_append(block, "%s%s %s%s", indent, label, value, eol);
    return;
  }
  int continuation = static_cast<int>(label_length) + 1;
  const char* piece = value;
  for (bool first = true;; first = false) {
    const char* end = strchr(piece, '\n');
    size_t length = end != nullptr ? static_cast<size_t>(end - piece)
                                   : strlen(piece);
    // The line ending of the message replaces the value's own, CR LF
    // included: otherwise E = CR LF would give CR CR LF.
    if (end != nullptr && length > 0 && piece[length - 1] == '\r') --length;
    int n = static_cast<int>(length);
    if (first) {
      text_buffer_append(block, "%s%s %.*s%s", indent, label, n, piece, eol);
    } else {
      text_buffer_append(block, "%*s %.*s%s", continuation, "", n, piece, eol);
    }
    if (end == nullptr) break;
    piece = end + 1;
  }
}

// Appends `text` with each of its line breaks (LF, or CR LF) written as the
// message's line ending, so that a multi-line value does not put bare LFs
// into a CR LF message, which strict servers refuse.
static void append_with_line_ends(TextBuffer* block, const char* text,
                                  const char* eol) {
  const char* piece = text;
  for (;;) {
    const char* end = strchr(piece, '\n');
    size_t length = end != nullptr ? static_cast<size_t>(end - piece)
                                   : strlen(piece);
    if (end != nullptr && length > 0 && piece[length - 1] == '\r') --length;
    text_buffer_append(block, "%.*s", static_cast<int>(length), piece);
    if (end == nullptr) break;
    text_buffer_append(block, "%s", eol);
    piece = end + 1;
  }
}

static void append_all_variables(TextBuffer* block) {
  const char* eol = message_line_ending();
  text_buffer_append(block, "%s%sAll variables from the submitted form:%s",
                     eol, eol, eol);
  for (int i = 0; i < g_form.count; ++i) {
    const char* value = or_empty(g_form.values[i]);
    if (g_settings.remove_empty_variables && value[0] == '\0') continue;
    const char* name = or_empty(g_form.names[i]);
    if (strcmp(eol, "\n") == 0) {
      text_buffer_append(block, "(%s)==(%s)%s", name, value, eol);
      continue;
    }
    text_buffer_append(block, "(");
    append_with_line_ends(block, name, eol);
    text_buffer_append(block, ")==(");
    append_with_line_ends(block, value, eol);
    text_buffer_append(block, ")%s", eol);
  }
}

TextBuffer* build_body_block() {
  TextBuffer* block = text_buffer_new("");
  const char* indent = g_settings.no_padding ? "" : " ";
  for (int i = 0; i < body_lines.count; ++i) {
    append_body_entry(block, indent, or_empty(body_lines.entries[i].text),
                      or_empty(body_lines.entries[i].value));
  }
  // Only the exact word: "True", "yes" or "true " do not ask for the list.
  const char* sendall = g_settings.sendall;
  if (sendall != nullptr && strcmp(sendall, "true") == 0) {
    append_all_variables(block);
  }
  return block;
}

// A text setting that is absent or empty gives null.
static const char* given(const char* text) {
  return text != nullptr && text[0] != '\0' ? text : nullptr;
}

// The longest first line taken from smtp_password_file.
constexpr size_t kMaxPasswordLength = 4096;

// The first line of the file at `path` without its line end, as a heap
// copy, or null after an error line.
static char* read_password_file(const char* path) {
  FILE* stream = fopen(path, "rb");
  if (stream == nullptr) {
    log_event(LOG_ERROR, "smtp_password_file {%s} cannot be opened: %s.", path,
              strerror(errno));
    return nullptr;
  }
  char* line = static_cast<char*>(malloc(kMaxPasswordLength + 2));
  if (line == nullptr) fatal_reply("Unable to malloc memory");
  size_t length = 0;
  int c;
  while (length <= kMaxPasswordLength && (c = fgetc(stream)) != EOF && c != '\n') {
    line[length++] = static_cast<char>(c);
  }
  bool failed = ferror(stream) != 0;
  fclose(stream);
  if (length > 0 && line[length - 1] == '\r') --length;
  line[length] = '\0';
  const char* problem = failed ? "cannot be read"
                        : length > kMaxPasswordLength ? "has a first line that is too long"
                        : length == 0 ? "has an empty first line"
                        : nullptr;
  if (problem != nullptr) {
    log_event(LOG_ERROR, "smtp_password_file {%s} %s.", path, problem);
    memset(line, 0, kMaxPasswordLength + 2);
    free(line);
    return nullptr;
  }
  return line;
}

int apply_smtp_settings() {
  static char* file_password = nullptr;
  static char* tls_host = nullptr;
  SmtpOptions options = {};
  bool tls = g_settings.smtp_security != kSecurityNone;
  options.line_ending = message_line_ending();
  options.use_helo = g_settings.use_helo && !tls;
  options.timeout_seconds = g_settings.smtp_timeout;
  options.security = g_settings.smtp_security == kSecurityStarttls ? kSmtpStarttls
                     : g_settings.smtp_security == kSecurityTls    ? kSmtpTls
                                                                   : kSmtpPlain;
  options.ca_file = given(g_settings.smtp_ca_file);
  // The certificate must carry the name the settings give for the server.
  free(tls_host);
  tls_host = nullptr;
  if (g_settings.smtp != nullptr) {
    const char* colon = strchr(g_settings.smtp, ':');
    size_t length = colon != nullptr ? static_cast<size_t>(colon - g_settings.smtp)
                                     : strlen(g_settings.smtp);
    tls_host = copy_bytes_or_die(g_settings.smtp, length, "Unable to malloc memory");
  }
  options.tls_host = tls_host;

  const char* user = given(g_settings.smtp_user);
  const char* password = given(g_settings.smtp_password);
  const char* password_file = given(g_settings.smtp_password_file);
  if (user == nullptr && (password != nullptr || password_file != nullptr)) {
    log_event(LOG_ERROR, "a password is set but no smtp_user.");
    return 0;
  }
  if (user != nullptr && password == nullptr && password_file == nullptr) {
    log_event(LOG_ERROR, "smtp_user {%s} is set but neither smtp_password nor "
              "smtp_password_file.", user);
    return 0;
  }
  if (user != nullptr && !tls) {
    log_event(LOG_ERROR, "smtp_user needs smtp_security starttls or tls: a password "
              "is never sent unencrypted.");
    return 0;
  }
  if (password_file != nullptr) {
    if (password != nullptr) {
      log_event(LOG_DEBUG, "smtp_password_file is used; smtp_password is ignored.");
    }
    free(file_password);
    file_password = read_password_file(password_file);
    if (file_password == nullptr) return 0;
    password = file_password;
  }
  options.user = user;
  options.password = password;
  smtp_set_options(options);
  return 1;
}

int assemble_and_send() {
  // The body first: with standard headers, its bytes decide the
  // Content-Transfer-Encoding header.
  g_message.body = build_body_block();
  g_message.header = build_header_block(g_message.body->data);
  if (g_settings.standard_headers && !body_is_7bit(g_message.body->data)) {
    TextBuffer* encoded = text_buffer_new("");
    append_quoted_printable(encoded, g_message.body->data, message_line_ending());
    text_buffer_free(g_message.body);
    g_message.body = encoded;
  }
  const Envelope& envelope = g_envelope;
  if (envelope.from == nullptr || envelope.to == nullptr ||
      !envelope.subject_found) {
    log_event(LOG_ERROR,
              "email not sent due to From, or To, or Subject headers not being "
              "present or valid. From={%s} To={%s} Subject_found=%s\r\n "
              "HEADERS = \r\n%s\r\n = HEADERS\r\nBODY = \r\n%s\r\n = BODY.",
              or_null(envelope.from), or_null(envelope.to),
              envelope.subject_found ? "TRUE" : "FALSE",
              g_message.header->data, g_message.body->data);
    return 0;
  }
  // The last guards: the allow-list needs the envelope, and only a
  // submission that passed everything else counts towards its sender's rate.
  if (!recipients_allowed() || !rate_limit_allows()) return 0;
  log_event(LOG_DEBUG,
            "about to send email to smtp server (%s) from: (%s) to: (%s)",
            or_null(g_settings.smtp), envelope.from, envelope.to);
  if (apply_smtp_settings() == 0) {
    log_event(LOG_ERROR, "Email not sent.");
    return 0;
  }
  // An absent server is passed on as it is: the dialogue reports it as a
  // server that did not respond.
  if (spool_and_send(g_settings.smtp, envelope.from, envelope.to,
                     g_message.header->data, g_message.body->data) != 0) {
    log_event(LOG_DEBUG, "email sent! (1)");
    return 1;
  }
  log_event(LOG_ERROR, "Email not sent.");
  return 0;
}

void message_reset() {
  text_buffer_free(g_message.header);
  text_buffer_free(g_message.body);
  g_message = Message();
}
