#include "compose/html_mail.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "base/program.h"
#include "compose/mime.h"
#include "platform/os.h"

constexpr size_t kTemplateLimit = 256 * 1024;

void html_escape_append(TextBuffer* out, const char* text) {
  for (const char* p = text; *p != '\0'; ++p) {
    switch (*p) {
      case '&': text_buffer_append(out, "&amp;"); break;
      case '<': text_buffer_append(out, "&lt;"); break;
      case '>': text_buffer_append(out, "&gt;"); break;
      case '"': text_buffer_append(out, "&quot;"); break;
      case '\'': text_buffer_append(out, "&#39;"); break;
      case '\r':
        if (p[1] == '\n') ++p;
        text_buffer_append(out, "<br>\n");
        break;
      case '\n': text_buffer_append(out, "<br>\n"); break;
      default: text_buffer_append_bytes(out, p, 1);
    }
  }
}

// The table of every submitted field: its label, then its value.
static void append_fields_table(const Settings& settings, const FormTable& form,
                                TextBuffer* out) {
  text_buffer_append(out, "<table>\n");
  for (int i = 0; i < form.count; ++i) {
    const char* name = form.names[i] != nullptr ? form.names[i] : "";
    const char* value = form.values[i] != nullptr ? form.values[i] : "";
    if (settings.remove_empty_variables && value[0] == '\0') continue;
    const char* label = settings_field_label(settings, name);
    text_buffer_append(out, "<tr><th align=\"left\" valign=\"top\">");
    html_escape_append(out, label != nullptr ? label : name);
    text_buffer_append(out, "</th><td>");
    html_escape_append(out, value);
    text_buffer_append(out, "</td></tr>\n");
  }
  text_buffer_append(out, "</table>\n");
}

static void fill_tokens(const Settings& settings, const FormTable& form, const char* text,
                        TextBuffer* out) {
  const char* p = text;
  for (;;) {
    const char* open = strstr(p, "||");
    const char* close = open != nullptr ? strstr(open + 2, "||") : nullptr;
    if (close == nullptr || memchr(open + 2, '\n', static_cast<size_t>(close - open - 2))) {
      if (close != nullptr) {  // not a token: the first "||" stays as it is
        text_buffer_append_bytes(out, p, static_cast<int>(open + 2 - p));
        p = open + 2;
        continue;
      }
      text_buffer_append(out, "%s", p);
      return;
    }
    text_buffer_append_bytes(out, p, static_cast<int>(open - p));
    size_t name_length = static_cast<size_t>(close - open - 2);
    char* name = copy_bytes_or_die(open + 2, name_length, kOutOfMemory);
    if (strcmp(name, "quillon_fields") == 0) {
      append_fields_table(settings, form, out);
    } else {
      const char* value = form_joined_value(form, name);
      html_escape_append(out, value != nullptr ? value : "");
    }
    free(name);
    p = close + 2;
  }
}

TextBuffer* html_render(const Settings& settings, const FormTable& form) {
  if (settings.html_template == nullptr) return nullptr;
  char* data = nullptr;
  size_t length = 0;
  int error = os_read_regular_file(settings.html_template, kTemplateLimit, &data, &length);
  if (error != 0 || memchr(data, '\0', length) != nullptr) {
    log_event(LOG_ERROR, "html_template {%s} cannot be read (%d): the message is plain text.",
              settings.html_template, error);
    free(data);
    return nullptr;
  }
  TextBuffer* out = text_buffer_new("");
  fill_tokens(settings, form, data, out);
  free(data);
  return out;
}

// A part's text as 7bit when it can travel so, else quoted-printable;
// the template's text always quoted-printable, which also gives its lines
// the message's line end.
static const char* part_text(const char* text, bool template_text, const char* eol,
                             TextBuffer** encoded) {
  *encoded = nullptr;
  if (!template_text && body_is_7bit(text)) return "7bit";
  *encoded = text_buffer_new("");
  append_quoted_printable(*encoded, text, eol);
  return "quoted-printable";
}

static void new_boundary(const char* a, const char* b, char* boundary) {
  for (;;) {
    unsigned char random[12] = {0};
    os_random_bytes(random, sizeof random);
    int n = snprintf(boundary, kAlternativeBoundarySize, "=_quillon_alt_");
    for (unsigned char r : random) {
      n += snprintf(boundary + n, kAlternativeBoundarySize - static_cast<size_t>(n), "%02x", r);
    }
    if (strstr(a, boundary) == nullptr && strstr(b, boundary) == nullptr) return;
  }
}

// One part: its delimiter and headers, then its text.
// The log's copy shows `shown` (null: the text escaped as outside text).
static void append_part(MessageBlock* block, const char* boundary, bool html,
                        const char* text, const char* shown, const char* eol) {
  const char* type = html ? "text/html" : "text/plain";
  TextBuffer* encoded = nullptr;
  const char* encoding = part_text(text, html, eol, &encoded);
  TextBuffer* head = text_buffer_new("");
  text_buffer_append(head, "--%s%sContent-Type: %s; charset=UTF-8%s"
                     "Content-Transfer-Encoding: %s%s%s",
                     boundary, eol, type, eol, encoding, eol, eol);
  message_put_own(block, head->data);
  const char* body = encoded != nullptr ? encoded->data : text;
  size_t length = strlen(body);
  text_buffer_append_bytes(block->wire, body, static_cast<int>(length));
  if (block->shown != nullptr) {
    if (encoded != nullptr) {
      text_buffer_append(block->shown, "%s", encoded->data);
    } else if (shown != nullptr) {
      text_buffer_append(block->shown, "%s", shown);
    } else {
      log_escape_append(block->shown, body, length);
    }
  }
  // The line end before a delimiter belongs to the delimiter: the text's
  // own last line end stays in the part.
  message_put_own(block, eol);
  text_buffer_free(head);
  text_buffer_free(encoded);
}

void html_alternative_build(const TextBuffer* html, const char* eol, MessageBlock* body,
                            char* boundary) {
  new_boundary(body->wire->data, html->data, boundary);
  MessageBlock out = {text_buffer_new(""), body->shown != nullptr ? text_buffer_new("") : nullptr,
                      ""};
  // The plain body goes as it is: the program's own text with the
  // submitted values already in it.
  append_part(&out, boundary, false, body->wire->data,
              body->shown != nullptr ? body->shown->data : nullptr, eol);
  append_part(&out, boundary, true, html->data, nullptr, eol);
  TextBuffer* close = text_buffer_new("");
  text_buffer_append(close, "--%s--%s", boundary, eol);
  message_put_own(&out, close->data);
  text_buffer_free(close);
  message_block_free(body);
  *body = out;
}
