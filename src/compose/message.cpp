#include "compose/message.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/hostname.h"
#include "base/log.h"
#include "compose/attachments.h"
#include "compose/envelope.h"
#include "compose/header_template.h"
#include "compose/html_mail.h"
#include "compose/mime.h"
#include "config/settings.h"
#include "base/program.h"
#include "form/form.h"
#include "platform/os.h"


static const char* or_empty(const char* text) {
  return text != nullptr ? text : "";
}

// printf of a null %s is undefined; the log shows "(null)" on purpose.
static const char* or_null(const char* text) {
  return text != nullptr ? text : "(null)";
}

// Writes the header line "text colon blank value" with its value's line
// breaks as blanks and, where needed, as encoded words. A line without a
// value (a fixed header line) ends right after its text: a trailing blank
// is taken for a mangled header by spam filters.
static void append_line_with_encoding(TextBuffer* block, const char* text,
                                      const char* colon, const char* value,
                                      const char* eol) {
  const char* blank = value[0] != '\0' ? " " : "";
  size_t length = strlen(text) + strlen(colon) + 1 + strlen(value);
  char* line = static_cast<char*>(malloc(length + 1));
  if (line == nullptr) fatal_reply(kOutOfMemory);
  snprintf(line, length + 1, "%s%s%s%s", text, colon, blank, value);
  for (char* p = line; *p != '\0'; ++p) {
    if (*p == '\r' || *p == '\n') *p = ' ';
  }
  append_header_line_encoded(block, line, eol);
  free(line);
}

using Block = MessageBlock;

// A block without its copy (shown null) when the log will not write it.
static Block new_block(bool keep_shown) {
  return Block{text_buffer_new(""), keep_shown ? text_buffer_new("") : nullptr, ""};
}

// The program's own text: the same in both.
static void put_own(Block* block, const char* text) { message_put_own(block, text); }

// Outside text: as it is on the wire, escaped in the copy.
static void put_outside(Block* block, const char* text, size_t length) {
  message_put_outside(block, text, length);
}

static void put_outside(Block* block, const char* text) {
  put_outside(block, text, strlen(text));
}

// Outside text whose `eol` sequences are the program's own line ends.
static void put_outside_lines(Block* block, const char* text, const char* eol) {
  size_t eol_length = strlen(eol);
  for (;;) {
    const char* end = strstr(text, eol);
    if (end == nullptr) {
      put_outside(block, text);
      return;
    }
    put_outside(block, text, static_cast<size_t>(end - text));
    put_own(block, eol);
    text = end + eol_length;
  }
}

// The program's own formatted text, in both.
static void put_ownf(Block* block, const char* format, ...) QUILLON_PRINTF(2, 3);
static void put_ownf(Block* block, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const char* text = format_with_spill(format, args);
  va_end(args);
  TextBuffer* copy = text_buffer_new(text);
  put_own(block, copy->data);
  text_buffer_free(copy);
}

static void append_header_line(Block* block, const Settings& settings, const char* text,
                               const char* value) {
  size_t length = strlen(text);
  // Only a text without any colon lacks one: a fixed line such as
  // 'To: "Me" <me@example.com>' is complete as it stands.
  const char* colon =
      settings.add_headerline_colon && length > 0 && strchr(text, ':') == nullptr ? ":" : "";
  const char* eol = settings_line_ending(settings);
  if (settings.standard_headers) {
    // Encoded words and folds: the folds are the program's line ends.
    TextBuffer* line = text_buffer_new("");
    append_line_with_encoding(line, text, colon, value, eol);
    put_outside_lines(block, line->data, eol);
    text_buffer_free(line);
    return;
  }
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
  if (flat == nullptr) fatal_reply(kOutOfMemory);
  for (size_t i = 0; i <= value_length; ++i) {
    flat[i] = (value[i] == '\r' || value[i] == '\n') ? ' ' : value[i];
  }
  put_outside(block, flat, value_length);
  put_own(block, eol);
  free(flat);
}

static const char* token_value(const char* name, void* context) {
  return form_value(*static_cast<const FormTable*>(context), name);
}

// A fixed header line with ||name|| tokens, filled (compose/header_template.h).
static void append_template_line(Block* block, const Settings& settings, const FormTable& form,
                                 const char* text) {
  const char* eol = settings_line_ending(settings);
  TextBuffer* line = text_buffer_new("");
  header_fill(text, token_value, const_cast<FormTable*>(&form), eol, line);
  put_outside_lines(block, line->data, eol);
  put_own(block, eol);
  text_buffer_free(line);
}

// "Reply-To: <address>" from the visitor's submitted address, when it is
// exactly one.
static void append_reply_to(Block* block, const Settings& settings, const FormTable& form) {
  const char* name = settings.reply_to_variable;
  if (name == nullptr) return;
  const char* why = nullptr;
  char* address = reply_to_address(form_value(form, name), &why);
  if (address == nullptr) {
    log_event(LOG_DEBUG, "no Reply-To: the submitted value of (%s) is not one address: %s",
              name, why);
    return;
  }
  put_own(block, "Reply-To: <");
  put_outside(block, address);
  put_own(block, ">");
  put_own(block, settings_line_ending(settings));
  free(address);
}

// The MIME headers of a body carrying files (or of text and HTML parts).
static void append_mixed_headers(Block* block, const char* eol, const char* boundary,
                                 bool alternative = false) {
  put_ownf(block, "MIME-Version: 1.0%sContent-Type: multipart/%s; boundary=\"%s\"%s", eol,
           alternative ? "alternative" : "mixed", boundary, eol);
}

// Date, Message-ID and the MIME headers of a UTF-8 text body.
void append_standard_headers(Block* block, const char* eol, const char* from,
                             const char* body, const char* mixed_boundary, bool alternative) {
  OsZonedTime now;
  os_zoned_time(&now);
  char date[64];
  format_mail_date(now, date, sizeof date);
  put_ownf(block, "Date: %s%s", date, eol);

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
  const char* at = from != nullptr ? strchr(from, '@') : nullptr;
  const char* domain = at != nullptr ? at + 1 : "localhost";
  int length = snprintf(block->message_id, sizeof block->message_id, "%llx.%x.%s@%s",
                        now.unix_seconds, static_cast<unsigned>(os_pid()), unique, domain);
  if (length < 0 || static_cast<size_t>(length) >= sizeof block->message_id) {
    block->message_id[0] = '\0';
  }
  put_ownf(block, "Message-ID: <%llx.%x.%s@%s>%s", now.unix_seconds,
                     static_cast<unsigned>(os_pid()), unique, domain, eol);

  if (mixed_boundary != nullptr) {
    append_mixed_headers(block, eol, mixed_boundary, alternative);
    return;
  }
  put_ownf(block, "MIME-Version: 1.0%sContent-Type: text/plain; charset=UTF-8%s",
                     eol, eol);
  put_ownf(block, "Content-Transfer-Encoding: %s%s",
                     body_is_7bit(body != nullptr ? body : "") ? "7bit" : "quoted-printable",
                     eol);
}

// The value an entry stands for: the submitted value of the field it names,
// or "" for a line of fixed text.
static const char* entry_value(const LineEntry& entry, const FormTable& form) {
  return entry.variable ? form_value(form, or_empty(entry.text)) : "";
}

MessageBlock build_header_block(const Settings& settings, const FormTable& form,
                                Envelope* envelope, const char* body,
                                const char* mixed_boundary, bool keep_shown, bool alternative) {
  Block block = new_block(keep_shown);
  const LineList& lines = settings.header_lines;
  for (int i = 0; i < lines.count; ++i) {
    const char* text = or_empty(lines.entries[i].text);
    const char* value = entry_value(lines.entries[i], form);
    bool had_bcc = envelope->bcc != nullptr;
    // A template's addresses are those of its own text, never a value's.
    TextBuffer* bare = nullptr;
    if (!lines.entries[i].variable && header_has_tokens(text)) {
      bare = text_buffer_new("");
      header_without_tokens(text, bare);
    }
    bool accepted = classify_header(envelope, settings.add_headerline_colon,
                                    bare != nullptr ? bare->data : text, value);
    // The blind copy goes into the envelope only: written here, its address
    // would show to every other recipient.
    if (accepted && !(!had_bcc && envelope->bcc != nullptr)) {
      if (bare != nullptr) {
        append_template_line(&block, settings, form, text);
      } else {
        append_header_line(&block, settings, text, value);
      }
    }
    text_buffer_free(bare);
  }
  append_reply_to(&block, settings, form);
  const char* eol = settings_line_ending(settings);
  if (settings.standard_headers) {
    append_standard_headers(&block, eol, envelope->from, body, mixed_boundary, alternative);
  } else if (mixed_boundary != nullptr) {
    append_mixed_headers(&block, eol, mixed_boundary, alternative);
  }
  if (block.shown != nullptr) log_event(LOG_DEBUG, "generated headers {%s}", block.shown->data);
  put_own(&block, "X-QUILLON: sent by web form submition activated CGI program.");
  put_own(&block, eol);
  return block;
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

static void append_body_entry(Block* block, const char* eol, const char* indent,
                              const char* label, const char* value) {
  size_t label_length = strlen(label);
  // Continuation lines are indented by the label's length; the cap keeps
  // that indent to at most 500 blanks.
  if (label_length >= static_cast<size_t>(kMaxBodyLabel)) return;
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

static void append_all_variables(Block* block, const Settings& settings, const FormTable& form) {
  const char* eol = settings_line_ending(settings);
  put_own(block, eol);
  put_own(block, eol);
  put_own(block, "All variables from the submitted form:");
  put_own(block, eol);
  for (int i = 0; i < form.count; ++i) {
    const char* value = or_empty(form.values[i]);
    if (settings.remove_empty_variables && value[0] == '\0') continue;
    const char* name = or_empty(form.names[i]);
    put_own(block, "(");
    append_with_line_ends(block, name, eol);
    put_own(block, ")==(");
    append_with_line_ends(block, value, eol);
    put_own(block, ")");
    put_own(block, eol);
  }
}

MessageBlock build_body_block(const Settings& settings, const FormTable& form, bool keep_shown) {
  Block block = new_block(keep_shown);
  const char* indent = settings.no_padding ? "" : " ";
  const char* eol = settings_line_ending(settings);
  const LineList& lines = settings.body_lines;
  for (int i = 0; i < lines.count; ++i) {
    const LineEntry& entry = lines.entries[i];
    const char* value = entry.variable ? form_joined_value(form, or_empty(entry.text)) : "";
    const char* label = entry.variable ? settings_field_label(settings, or_empty(entry.text))
                                       : nullptr;
    append_body_entry(&block, eol, indent, label != nullptr ? label : or_empty(entry.text), value);
  }
  // Only the exact word: "True", "yes" or "true " do not ask for the list.
  const char* sendall = settings.sendall;
  if (sendall != nullptr && strcmp(sendall, "true") == 0) {
    append_all_variables(&block, settings, form);
  }
  return block;
}

// The copy of a block for the log, or the block itself when none was kept.
static const char* shown_text(const MessageBlock& block) {
  return block.shown != nullptr ? block.shown->data : block.wire->data;
}

// The "not sent" line: with the debug level the whole message, else only
// what was missing and the sizes, so that a post cannot fill the log.
static void log_not_sent(const Envelope& envelope, const Message& message) {
  if (log_level_enabled(LOG_DEBUG)) {
    log_event(LOG_ERROR,
              "email not sent due to From, or To, or Subject headers not being "
              "present or valid. From={%s} To={%s} Subject_found=%s\r\n "
              "HEADERS = \r\n%s\r\n = HEADERS\r\nBODY = \r\n%s\r\n = BODY.",
              or_null(envelope.from), or_null(envelope.to),
              envelope.subject_found ? "TRUE" : "FALSE",
              shown_text(message.header), shown_text(message.body));
    return;
  }
  log_event(LOG_ERROR,
            "email not sent: missing or invalid:%s%s%s; headers of %d bytes, body of %d "
            "bytes.",
            envelope.from == nullptr ? " From" : "", envelope.to == nullptr ? " To" : "",
            envelope.subject_found ? "" : " Subject",
            message.header.wire->length, static_cast<int>(message_body_source(&message).size));
}


// The text body as the first part of a body carrying files: 7bit or
// quoted-printable as standard_headers would write it, then the files.
// Writes the boundary for the header.
static void attach_files(const FormRequest& request, const char* eol, Message* message,
                         char* boundary, const char* alternative) {
  MessageBlock* body = &message->body;
  const char* encoding = "7bit";
  if (alternative[0] != '\0') {
    // The text and HTML parts are encoded already.
    char type[kAlternativeBoundarySize + 40];
    snprintf(type, sizeof type, "multipart/alternative; boundary=\"%s\"", alternative);
    attachments_build(request, encoding, eol, &body->wire, &body->shown, boundary,
                      &message->files, &message->file_count, type);
    message->upload = &request;
    message->eol = eol;
    return;
  }
  if (!body_is_7bit(body->wire->data)) {
    TextBuffer* encoded = text_buffer_new("");
    append_quoted_printable(encoded, body->wire->data, eol);
    message_block_free(body);
    *body = MessageBlock{encoded, text_buffer_new(encoded->data), ""};
    encoding = "quoted-printable";
  } else {
    limit_line_lengths(body->wire, body->shown, eol, false);
  }
  attachments_build(request, encoding, eol, &body->wire, &body->shown, boundary, &message->files,
                    &message->file_count);
  message->upload = &request;
  message->eol = eol;
}

AssembleStop assemble_message(const Settings& settings, const FormTable& form,
                              Envelope* envelope, Message* message, const FormRequest* request) {
  // The log's copies are made only when a line will show them: the
  // delivery's debug lines, or the debug level's "not sent" line (a body
  // carrying files keeps them: its parts are built from both).
  bool with_files = attachments_wanted(settings, request);
  bool keep_shown = log_level_enabled(LOG_DEBUG) || with_files;
  // The body first: with standard headers, its bytes decide the
  // Content-Transfer-Encoding header.
  message->body = build_body_block(settings, form, keep_shown);
  const char* eol = settings_line_ending(settings);
  message->eol = eol;
  char boundary[kBoundarySize] = "";
  char alternative[kAlternativeBoundarySize] = "";
  TextBuffer* html = html_render(settings, form);
  if (html != nullptr) {
    limit_line_lengths(message->body.wire, message->body.shown, eol, false);
    html_alternative_build(html, eol, &message->body, alternative);
    text_buffer_free(html);
  }
  if (with_files) attach_files(*request, eol, message, boundary, alternative);
  const char* parts = with_files ? boundary : alternative[0] != '\0' ? alternative : nullptr;
  message->header = build_header_block(settings, form, envelope, message->body.wire->data,
                                       parts, keep_shown, !with_files && parts != nullptr);
  limit_line_lengths(message->header.wire, message->header.shown, eol, true);
  if (with_files || parts != nullptr) {
    // Each part was written within the line limit already.
  } else if (settings.standard_headers && !body_is_7bit(message->body.wire->data)) {
    // Quoted-printable keeps every line short and every byte printable:
    // the log may show it as it is.
    TextBuffer* encoded = text_buffer_new("");
    append_quoted_printable(encoded, message->body.wire->data, eol);
    message_block_free(&message->body);
    TextBuffer* shown = keep_shown ? text_buffer_new(encoded->data) : nullptr;
    message->body = MessageBlock{encoded, shown, ""};
  } else {
    limit_line_lengths(message->body.wire, message->body.shown, eol, false);
  }
  // Refused where it was found, with its error line.
  if (envelope->address_too_long) return AssembleStop::kAddressTooLong;
  if (envelope->from == nullptr || envelope->to == nullptr || !envelope->subject_found) {
    log_not_sent(*envelope, *message);
    return AssembleStop::kNotConfigured;
  }
  return AssembleStop::kNone;
}

void message_free(Message* message) {
  message_block_free(&message->header);
  message_block_free(&message->body);
  free(message->files);
  *message = Message();
}
