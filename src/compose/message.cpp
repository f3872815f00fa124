#include "compose/message.h"

#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "compose/envelope.h"
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

// A block of the message and its copy for the log: the same text, with the
// line breaks and control characters of outside text (submitted values and
// names, settings text) escaped, so that no submitted text can start a log
// line. Only the program's own line ends stay line ends in the copy.
struct Block {
  TextBuffer* wire;
  TextBuffer* shown;
};

static Block new_block() { return Block{text_buffer_new(""), text_buffer_new("")}; }

// The program's own text: the same in both.
static void put_own(Block* block, const char* text) {
  int length = static_cast<int>(strlen(text));
  text_buffer_append_bytes(block->wire, text, length);
  text_buffer_append_bytes(block->shown, text, length);
}

// Outside text: as it is on the wire, escaped in the copy.
static void put_outside(Block* block, const char* text, size_t length) {
  text_buffer_append_bytes(block->wire, text, static_cast<int>(length));
  log_escape_append(block->shown, text, length);
}

static void put_outside(Block* block, const char* text) {
  put_outside(block, text, strlen(text));
}

// Hands the wire text to the caller and the copy to *shown (or frees it).
static TextBuffer* finish_block(Block block, TextBuffer** shown) {
  if (shown != nullptr) {
    *shown = block.shown;
  } else {
    text_buffer_free(block.shown);
  }
  return block.wire;
}

static void append_header_line(Block* block, const char* text,
                               const char* value) {
  size_t length = strlen(text);
  const char* colon = g_settings.add_headerline_colon && length > 0 &&
                              text[length - 1] != ':'
                          ? ":"
                          : "";
  const char* eol = g_settings.email_line_ending;
  put_outside(block, text);
  put_own(block, colon);
  put_own(block, " ");
  if (strpbrk(value, "\r\n") == nullptr) {
    put_outside(block, value);
    put_own(block, eol);
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
  put_outside(block, flat, value_length);
  put_own(block, eol);
  free(flat);
}

TextBuffer* build_header_block(TextBuffer** shown) {
  Block block = new_block();
  for (int i = 0; i < header_lines.count; ++i) {
    const char* text = or_empty(header_lines.entries[i].text);
    const char* value = or_empty(header_lines.entries[i].value);
    bool had_bcc = g_envelope.bcc != nullptr;
    if (!classify_header(text, value)) continue;
    // The blind copy goes into the envelope only: written here, its address
    // would show to every other recipient.
    if (!had_bcc && g_envelope.bcc != nullptr) continue;
    append_header_line(&block, text, value);
  }
  log_event(LOG_DEBUG, "generated headers {%s}", block.shown->data);
  put_own(&block, "X-QUILLON: sent by web form submition activated CGI program.");
  put_own(&block, g_settings.email_line_ending);
  return finish_block(block, shown);
}

// The length of `text` up to its first line break (LF, CR LF or a lone CR);
// *brk receives the break's length, 0 at the end of the text.
static size_t piece_before_break(const char* text, size_t* brk) {
  size_t n = strcspn(text, "\r\n");
  if (text[n] == '\0') {
    *brk = 0;
  } else {
    *brk = text[n] == '\r' && text[n + 1] == '\n' ? 2 : 1;
  }
  return n;
}

static void append_body_entry(Block* block, const char* indent,
                              const char* label, const char* value) {
  size_t label_length = strlen(label);
  // Continuation lines are indented by the label's length; the cap keeps
  // that indent to at most 500 blanks.
  if (label_length >= static_cast<size_t>(kMaxBodyLabel)) return;
  const char* eol = g_settings.email_line_ending;
  put_own(block, indent);
  put_outside(block, label);
  put_own(block, " ");
  if (strpbrk(value, "\r\n") == nullptr) {
    put_outside(block, value);
    put_own(block, eol);
    return;
  }
  char continuation[kMaxBodyLabel + 2];
  memset(continuation, ' ', label_length + 2);
  continuation[label_length + 2] = '\0';
  const char* piece = value;
  for (bool first = true;; first = false) {
    // The line ending of the message replaces each of the value's own, CR
    // LF and a lone CR included: otherwise E = CR LF would give CR CR LF,
    // and a lone CR would reach the wire.
    size_t brk = 0;
    size_t length = piece_before_break(piece, &brk);
    if (!first) put_own(block, continuation);
    put_outside(block, piece, length);
    put_own(block, eol);
    if (brk == 0) break;
    piece += length + brk;
  }
}

// Appends `text` with each of its line breaks (LF, CR LF or a lone CR)
// written as the message's line ending, so that a multi-line value puts no
// bare LF into a CR LF message, which strict servers refuse, and no lone CR
// into any (a CR before a "." would hide the dot from dot-stuffing). The
// copy shows those line ends escaped: the text after them is the sender's.
static void append_with_line_ends(Block* block, const char* text,
                                  const char* eol) {
  const char* piece = text;
  for (;;) {
    size_t brk = 0;
    size_t length = piece_before_break(piece, &brk);
    put_outside(block, piece, length);
    if (brk == 0) break;
    put_outside(block, eol);
    piece += length + brk;
  }
}

static void append_all_variables(Block* block) {
  const char* eol = g_settings.email_line_ending;
  put_own(block, eol);
  put_own(block, eol);
  put_own(block, "All variables from the submitted form:");
  put_own(block, eol);
  for (int i = 0; i < g_form.count; ++i) {
    const char* value = or_empty(g_form.values[i]);
    if (g_settings.remove_empty_variables && value[0] == '\0') continue;
    const char* name = or_empty(g_form.names[i]);
    put_own(block, "(");
    append_with_line_ends(block, name, eol);
    put_own(block, ")==(");
    append_with_line_ends(block, value, eol);
    put_own(block, ")");
    put_own(block, eol);
  }
}

TextBuffer* build_body_block(TextBuffer** shown) {
  Block block = new_block();
  const char* indent = g_settings.no_padding ? "" : " ";
  for (int i = 0; i < body_lines.count; ++i) {
    append_body_entry(&block, indent, or_empty(body_lines.entries[i].text),
                      or_empty(body_lines.entries[i].value));
  }
  // Only the exact word: "True", "yes" or "true " do not ask for the list.
  const char* sendall = g_settings.sendall;
  if (sendall != nullptr && strcmp(sendall, "true") == 0) {
    append_all_variables(&block);
  }
  return finish_block(block, shown);
}

int assemble_and_send() {
  g_message.header = build_header_block(&g_message.header_shown);
  g_message.body = build_body_block(&g_message.body_shown);
  const Envelope& envelope = g_envelope;
  if (envelope.from == nullptr || envelope.to == nullptr ||
      !envelope.subject_found) {
    log_event(LOG_ERROR,
              "email not sent due to From, or To, or Subject headers not being "
              "present or valid. From={%s} To={%s} Subject_found=%s\r\n "
              "HEADERS = \r\n%s\r\n = HEADERS\r\nBODY = \r\n%s\r\n = BODY.",
              or_null(envelope.from), or_null(envelope.to),
              envelope.subject_found ? "TRUE" : "FALSE",
              g_message.header_shown->data, g_message.body_shown->data);
    return 0;
  }
  log_event(LOG_DEBUG,
            "about to send email to smtp server (%s) from: (%s) to: (%s)",
            or_null(g_settings.smtp), envelope.from, envelope.to);
  SmtpOptions options;
  options.line_ending = g_settings.email_line_ending;
  options.use_helo = g_settings.use_helo;
  options.timeout_seconds = g_settings.smtp_timeout;
  smtp_set_options(options);
  // An absent server is passed on as it is: the dialogue reports it as a
  // server that did not respond.
  if (smtp_dialogue(g_settings.smtp, envelope.from, envelope.to,
                    g_message.header->data, g_message.body->data,
                    g_message.header_shown->data, g_message.body_shown->data) != 0) {
    log_event(LOG_DEBUG, "email sent! (1)");
    return 1;
  }
  log_event(LOG_ERROR, "Email not sent.");
  return 0;
}

void message_reset() {
  text_buffer_free(g_message.header);
  text_buffer_free(g_message.body);
  text_buffer_free(g_message.header_shown);
  text_buffer_free(g_message.body_shown);
  g_message = Message();
}
