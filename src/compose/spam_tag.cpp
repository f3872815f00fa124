#include "compose/spam_tag.h"

#include <cstring>

#include "base/program.h"

namespace {

// The tag put after "Subject:" and its blanks in `block`, when the block
// has a Subject line.
void tag_subject(TextBuffer* block, const char* tag) {
  const char* data = block->data;
  for (const char* line = data; *line != '\0';) {
    if (ascii_equal_n(line, "Subject:", 8)) {
      const char* at = line + 8;
      while (*at == ' ' || *at == '\t') ++at;
      TextBuffer* tagged = text_buffer_new("");
      text_buffer_append_bytes(tagged, data, static_cast<int>(at - data));
      text_buffer_append(tagged, "%s", tag);
      size_t tag_length = strlen(tag);
      if (tag_length > 0 && tag[tag_length - 1] != ' ') text_buffer_append(tagged, " ");
      text_buffer_append(tagged, "%s", at);
      text_buffer_swap(block, tagged);
      text_buffer_free(tagged);
      return;
    }
    const char* next = strchr(line, '\n');
    if (next == nullptr) return;
    line = next + 1;
  }
}

void add_lines(TextBuffer* block, const char* eol, const char* score, const char* symbols) {
  text_buffer_append(block, "X-Spam-Flag: YES%s", eol);
  if (score != nullptr) text_buffer_append(block, "X-Spam-Score: %s%s", score, eol);
  text_buffer_append(block, "X-Spam-Symbols: ");
  // Reasons may quote a word of the visitor's: one printable ASCII line.
  for (const char* at = symbols; *at != '\0' && at - symbols < 900; ++at) {
    unsigned char c = static_cast<unsigned char>(*at);
    char shown = c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '?';
    text_buffer_append_bytes(block, &shown, 1);
  }
  text_buffer_append(block, "%s", eol);
}

}  // namespace

void message_tag_spam(Message* message, const char* eol, const char* tag, const char* score,
                      const char* symbols) {
  TextBuffer* blocks[] = {message->header.wire, message->header.shown};
  for (TextBuffer* block : blocks) {
    if (block == nullptr) continue;
    tag_subject(block, tag);
    add_lines(block, eol, score, symbols);
  }
}

void message_wire_append(const Message& message, const char* eol, TextBuffer* out) {
  text_buffer_append(out, "%s%s", message.header.wire->data, eol);
  TextBuffer* body = message.file_count > 0 ? message_body_text(message) : nullptr;
  const TextBuffer* shown = body != nullptr ? body : message.body.wire;
  text_buffer_append_bytes(out, shown->data, shown->length);
  if (body != nullptr) text_buffer_free(body);
}
