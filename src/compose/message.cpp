#include "compose/message.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/hostname.h"
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
  if (line == nullptr) fatal_reply("Unable to malloc memory");
  snprintf(line, length + 1, "%s%s%s%s", text, colon, blank, value);
  for (char* p = line; *p != '\0'; ++p) {
    if (*p == '\r' || *p == '\n') *p = ' ';
  }
  append_header_line_encoded(block, line, eol);
  free(line);
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

static void append_header_line(Block* block, const char* text,
                               const char* value) {
  size_t length = strlen(text);
  const char* colon = g_settings.add_headerline_colon && length > 0 &&
                              text[length - 1] != ':'
                          ? ":"
                          : "";
  const char* eol = message_line_ending();
  if (g_settings.standard_headers) {
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
  if (flat == nullptr) fatal_reply("Unable to malloc memory");
  for (size_t i = 0; i <= value_length; ++i) {
    flat[i] = (value[i] == '\r' || value[i] == '\n') ? ' ' : value[i];
  }
  put_outside(block, flat, value_length);
  put_own(block, eol);
  free(flat);
}

// "Reply-To: <address>" from the visitor's submitted address, when it is
// exactly one.
static void append_reply_to(Block* block) {
  const char* name = g_settings.reply_to_variable;
  if (name == nullptr) return;
  const char* why = nullptr;
  char* address = reply_to_address(form_value(name), &why);
  if (address == nullptr) {
    log_event(LOG_DEBUG, "no Reply-To: the submitted value of (%s) is not one address: %s",
              name, why);
    return;
  }
  put_own(block, "Reply-To: <");
  put_outside(block, address);
  put_own(block, ">");
  put_own(block, message_line_ending());
  free(address);
}

// Date, Message-ID and the MIME headers of a UTF-8 text body.
static void append_standard_headers(Block* block, const char* body) {
  const char* eol = message_line_ending();
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
  const char* at = g_envelope.from != nullptr ? strchr(g_envelope.from, '@') : nullptr;
  const char* domain = at != nullptr ? at + 1 : "localhost";
  put_ownf(block, "Message-ID: <%llx.%x.%s@%s>%s", now.unix_seconds,
                     static_cast<unsigned>(os_pid()), unique, domain, eol);

  put_ownf(block, "MIME-Version: 1.0%sContent-Type: text/plain; charset=UTF-8%s",
                     eol, eol);
  put_ownf(block, "Content-Transfer-Encoding: %s%s",
                     body_is_7bit(body != nullptr ? body : "") ? "7bit" : "quoted-printable",
                     eol);
}

TextBuffer* build_header_block(TextBuffer** shown, const char* body) {
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
  append_reply_to(&block);
  if (g_settings.standard_headers) append_standard_headers(&block, body);
  log_event(LOG_DEBUG, "generated headers {%s}", block.shown->data);
  put_own(&block, "X-QUILLON: sent by web form submition activated CGI program.");
  put_own(&block, message_line_ending());
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
  const char* eol = message_line_ending();
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
  const char* eol = message_line_ending();
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

// Where the rebuilt block and its copy stand: `wire` walks the old block,
// `shown` the old copy in step with it (log_copy_width).
struct LineCursor {
  const char* wire;
  const char* shown;
  TextBuffer* out;
  TextBuffer* out_shown;
};

// Copies the next `n` bytes of the block, and what stands for them in the
// copy.
static void copy_span(LineCursor* at, size_t n) {
  text_buffer_append_bytes(at->out, at->wire, static_cast<int>(n));
  if (at->out_shown == nullptr) {
    at->wire += n;
    return;
  }
  const char* from = at->shown;
  for (size_t i = 0; i < n; ++i) at->shown += log_copy_width(at->shown, at->wire[i]);
  text_buffer_append_bytes(at->out_shown, from, static_cast<int>(at->shown - from));
  at->wire += n;
}

// Appends a line end of the program's making, a true line end in the copy
// too: the log shows the lines as the server gets them.
static void insert_line_end(LineCursor* at, const char* eol) {
  text_buffer_append_bytes(at->out, eol, static_cast<int>(strlen(eol)));
  if (at->out_shown == nullptr) return;
  text_buffer_append_bytes(at->out_shown, eol, static_cast<int>(strlen(eol)));
}

// The most characters a line starting with `first` may hold: a line that
// begins with "." gets another on the wire.
static size_t line_room(char first) {
  return first == '.' ? kMaxLineLength - 1 : kMaxLineLength;
}

// Moves a cut back to the start of a UTF-8 sequence, so that no character
// is split between two lines (a cut that finds none stays where it is).
static size_t whole_characters(const char* text, size_t cut) {
  for (size_t back = cut; back + 3 >= cut && back > 1; --back) {
    if ((static_cast<unsigned char>(text[back]) & 0xC0) != 0x80) return back;
  }
  return cut;
}

// The bytes of the line at `line` before its line end (a CR before the LF
// belongs to the line end).
static size_t line_content(const char* line, size_t* full) {
  const char* lf = strchr(line, '\n');
  size_t content = lf != nullptr ? static_cast<size_t>(lf - line) : strlen(line);
  *full = lf != nullptr ? content + 1 : content;
  if (lf != nullptr && content > 0 && line[content - 1] == '\r') --content;
  return content;
}

static bool has_long_line(const char* text) {
  while (*text != '\0') {
    size_t full = 0;
    size_t content = line_content(text, &full);
    if (content > line_room(*text)) return true;
    text += full;
  }
  return false;
}

// One header line of `left` content bytes, folded at the last blank that
// keeps each piece within its room (the blank starts the continuation);
// where there is none, broken with an inserted blank instead.
static void fold_header_line(LineCursor* at, size_t left, const char* eol) {
  size_t inserted = 0;  // 1 when the piece began with an inserted blank
  for (;;) {
    size_t room = inserted != 0 ? kMaxLineLength - 1 : line_room(*at->wire);
    if (left <= room) break;
    size_t blank = 0;
    for (size_t i = room; i >= 1 && blank == 0; --i) {
      if (at->wire[i] == ' ' || at->wire[i] == '\t') blank = i;
    }
    if (blank != 0) {
      copy_span(at, blank);
      left -= blank;
      insert_line_end(at, eol);
      inserted = 0;
    } else {
      size_t cut = whole_characters(at->wire, room);
      copy_span(at, cut);
      left -= cut;
      insert_line_end(at, eol);
      text_buffer_append_bytes(at->out, " ", 1);
      if (at->out_shown != nullptr) text_buffer_append_bytes(at->out_shown, " ", 1);
      inserted = 1;
    }
  }
  copy_span(at, left);
}

// One body line, broken into pieces that fit.
static void break_body_line(LineCursor* at, size_t left, const char* eol) {
  while (left > line_room(*at->wire)) {
    size_t cut = whole_characters(at->wire, line_room(*at->wire));
    copy_span(at, cut);
    left -= cut;
    insert_line_end(at, eol);
  }
  copy_span(at, left);
}

void limit_line_lengths(TextBuffer* block, TextBuffer* shown, const char* eol, bool header) {
  if (!has_long_line(block->data)) return;
  LineCursor at = {block->data, shown != nullptr ? shown->data : nullptr, text_buffer_new(""),
                   shown != nullptr ? text_buffer_new("") : nullptr};
  while (*at.wire != '\0') {
    size_t full = 0;
    size_t content = line_content(at.wire, &full);
    if (header) {
      fold_header_line(&at, content, eol);
    } else {
      break_body_line(&at, content, eol);
    }
    copy_span(&at, full - content);  // the line's own end
  }
  text_buffer_replace(block, "%s", at.out->data);
  text_buffer_free(at.out);
  if (shown != nullptr) {
    text_buffer_replace(shown, "%s", at.out_shown->data);
    text_buffer_free(at.out_shown);
  }
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
  // The name of the site the message is from, never one a visitor gave.
  static char hello[kMaxHostName + 1];
  hello_name_choose(g_settings.hello_name, g_settings.standard_headers,
                    g_sender_from_settings ? g_envelope.from : nullptr, hello, sizeof hello);
  options.hello_name = hello;

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
  g_message.body = build_body_block(&g_message.body_shown);
  g_message.header = build_header_block(&g_message.header_shown, g_message.body->data);
  const char* eol = message_line_ending();
  limit_line_lengths(g_message.header, g_message.header_shown, eol, true);
  if (g_settings.standard_headers && !body_is_7bit(g_message.body->data)) {
    // Quoted-printable keeps every line short and every byte printable:
    // the log may show it as it is.
    TextBuffer* encoded = text_buffer_new("");
    append_quoted_printable(encoded, g_message.body->data, eol);
    text_buffer_free(g_message.body);
    text_buffer_free(g_message.body_shown);
    g_message.body = encoded;
    g_message.body_shown = text_buffer_new(encoded->data);
  } else {
    limit_line_lengths(g_message.body, g_message.body_shown, eol, false);
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
              g_message.header_shown->data, g_message.body_shown->data);
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
