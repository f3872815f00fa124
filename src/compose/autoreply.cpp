#include "compose/autoreply.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "base/program.h"
#include "compose/mime.h"

namespace {

// The file's content as a heap text, or null when it cannot be read whole.
char* read_text_file(const char* path, const char** why) {
  FILE* file = fopen(path, "rb");
  if (file == nullptr) {
    *why = "cannot be opened";
    return nullptr;
  }
  char* text = static_cast<char*>(malloc(kAutoreplyFileLimit + 2));
  if (text == nullptr) fatal_reply(kOutOfMemory);
  size_t length = fread(text, 1, kAutoreplyFileLimit + 1, file);
  bool failed = ferror(file) != 0;
  fclose(file);
  *why = failed ? "cannot be read" : length > kAutoreplyFileLimit ? "is over 64 KB" : nullptr;
  if (*why != nullptr || memchr(text, '\0', length) != nullptr) {
    if (*why == nullptr) *why = "holds a NUL byte";
    free(text);
    return nullptr;
  }
  text[length] = '\0';
  return text;
}

// The program's own text from `start` to `end`.
void put_own_part(MessageBlock* block, const char* start, const char* end) {
  char* part = copy_bytes_or_die(start, static_cast<size_t>(end - start), kOutOfMemory);
  message_put_own(block, part);
  free(part);
}

// The submitted value of the field named from `start` to `end`.
const char* token_value(const FormTable& form, const char* start, const char* end) {
  char* name = copy_bytes_or_die(start, static_cast<size_t>(end - start), kOutOfMemory);
  const char* value = form_value(form, name);
  free(name);
  return value;
}

// One line of the text (no line end in it), its tokens filled.
void fill_line(MessageBlock* block, const char* line, size_t length, const FormTable& form) {
  const char* end = line + length;
  while (line < end) {
    const char* open = strstr(line, "||");
    const char* close = open != nullptr && open + 2 <= end ? strstr(open + 2, "||") : nullptr;
    if (open == nullptr || open >= end || close == nullptr || close + 2 > end) {
      put_own_part(block, line, end);
      return;
    }
    put_own_part(block, line, open);
    const char* value = token_value(form, open + 2, close);
    message_put_outside(block, value, strlen(value));
    line = close + 2;
  }
}

// "Name: text" with encoded words where the text needs them.
void put_header(MessageBlock* block, const char* name, const char* text, const char* eol) {
  TextBuffer* line = text_buffer_new(name);
  text_buffer_append_bytes(line, text, static_cast<int>(strlen(text)));
  for (char* p = line->data; *p != '\0'; ++p) {
    if (*p == '\r' || *p == '\n') *p = ' ';
  }
  TextBuffer* encoded = text_buffer_new("");
  append_header_line_encoded(encoded, line->data, eol);
  message_put_own(block, encoded->data);
  text_buffer_free(encoded);
  text_buffer_free(line);
}

}  // namespace

void autoreply_fill(MessageBlock* block, const char* text, const FormTable& form,
                    const char* eol) {
  while (*text != '\0') {
    size_t length = strcspn(text, "\r\n");
    fill_line(block, text, length, form);
    message_put_own(block, eol);
    text += length;
    if (text[0] == '\r' && text[1] == '\n') {
      text += 2;
    } else if (text[0] != '\0') {
      ++text;
    }
  }
}

bool autoreply_assemble(const Settings& settings, const FormTable& form, const char* main_from,
                        Envelope* envelope, Message* message) {
  message->header = MessageBlock{text_buffer_new(""), text_buffer_new(""), ""};
  message->body = MessageBlock{text_buffer_new(""), text_buffer_new(""), ""};
  const char* why = nullptr;
  envelope->to = reply_to_address(form_value(form, settings.autoreply_to_variable), &why);
  if (envelope->to == nullptr) {
    log_event(LOG_ERROR, "autoreply: no confirmation sent: the field (%s) does not hold one "
              "address: %s.", settings.autoreply_to_variable, why);
    return false;
  }
  const char* from_text = settings.autoreply_from != nullptr ? settings.autoreply_from : main_from;
  envelope->from = from_text != nullptr ? scan_address(from_text) : nullptr;
  const char* missing = envelope->from == nullptr          ? "autoreply_from (an address)"
                        : settings.autoreply_subject == nullptr ? "autoreply_subject"
                        : settings.autoreply_file == nullptr    ? "autoreply_file"
                                                                : nullptr;
  if (missing != nullptr) {
    log_event(LOG_ERROR, "autoreply: no confirmation sent: %s is not set.", missing);
    return false;
  }
  char* text = read_text_file(settings.autoreply_file, &why);
  if (text == nullptr) {
    log_event(LOG_ERROR, "autoreply: no confirmation sent: autoreply_file {%s} %s.",
              settings.autoreply_file, why);
    return false;
  }
  const char* eol = settings_line_ending(settings);
  autoreply_fill(&message->body, text, form, eol);
  free(text);
  // The header first: the body's own bytes decide its transfer encoding.
  MessageBlock* header = &message->header;
  TextBuffer* from = text_buffer_new("");
  if (settings.autoreply_from != nullptr) {
    text_buffer_append_bytes(from, settings.autoreply_from,
                             static_cast<int>(strlen(settings.autoreply_from)));
  } else {
    text_buffer_append(from, "<%s>", envelope->from);
  }
  put_header(header, "From: ", from->data, eol);
  text_buffer_free(from);
  message_put_own(header, "To: <");
  message_put_outside(header, envelope->to, strlen(envelope->to));
  message_put_own(header, ">");
  message_put_own(header, eol);
  put_header(header, "Subject: ", settings.autoreply_subject, eol);
  append_standard_headers(header, eol, envelope->from, message->body.wire->data);
  message_put_own(header, "Auto-Submitted: auto-replied");
  message_put_own(header, eol);
  if (!body_is_7bit(message->body.wire->data)) {
    TextBuffer* encoded = text_buffer_new("");
    append_quoted_printable(encoded, message->body.wire->data, eol);
    message_block_free(&message->body);
    message->body = MessageBlock{encoded, text_buffer_new(encoded->data), ""};
  } else {
    limit_line_lengths(message->body.wire, message->body.shown, eol, false);
  }
  envelope->subject_found = true;
  return true;
}
