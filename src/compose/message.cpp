#include "compose/message.h"

#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "compose/envelope.h"
#include "compose/spool.h"
#include "config/settings.h"
#include "base/program.h"
#include "form/form.h"
#include "smtp/dialogue.h"
#include "smtp/transport.h"

Message g_message;

static const char* or_empty(const char* text) {
  return text != nullptr ? text : "";
}

// printf of a null %s is undefined; the log shows "(null)" on purpose.
static const char* or_null(const char* text) {
  return text != nullptr ? text : "(null)";
}

static void append_header_line(TextBuffer* block, const char* text,
                               const char* value) {
  size_t length = strlen(text);
  const char* colon = g_settings.add_headerline_colon && length > 0 &&
                              text[length - 1] != ':'
                          ? ":"
                          : "";
  const char* eol = g_settings.email_line_ending;
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

TextBuffer* build_header_block() {
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
  log_event(LOG_DEBUG, "generated headers {%s}", block->data);
  text_buffer_append(block,
                     "X-QUILLON: sent by web form submition activated CGI "
                     "program.%s",
                     g_settings.email_line_ending);
  return block;
}

static void append_body_entry(TextBuffer* block, const char* indent,
                              const char* label, const char* value) {
  size_t label_length = strlen(label);
  // Continuation lines are indented by the label's length; the cap keeps
  // that indent to at most 500 blanks.
  if (label_length >= static_cast<size_t>(kMaxBodyLabel)) return;
  const char* eol = g_settings.email_line_ending;
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
  const char* eol = g_settings.email_line_ending;
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

SmtpOptions smtp_options_from_settings() {
  SmtpOptions options;
  options.line_ending = g_settings.email_line_ending;
  options.use_helo = g_settings.use_helo;
  options.timeout_seconds = g_settings.smtp_timeout;
  return options;
}

int assemble_and_send() {
  g_message.header = build_header_block();
  g_message.body = build_body_block();
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
  log_event(LOG_DEBUG,
            "about to send email to smtp server (%s) from: (%s) to: (%s)",
            or_null(g_settings.smtp), envelope.from, envelope.to);
  smtp_set_options(smtp_options_from_settings());
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
