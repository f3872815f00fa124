// The message written in blocks: its text with each file's base64 lines
// read from the run's scratch file where they belong (compose/message.h).
#include <cstring>

#include "compose/attachments.h"
#include "compose/message.h"

static bool emit_body(const void* source, ChunkSinkFn sink, void* context) {
  const Message& message = *static_cast<const Message*>(source);
  const char* text = message.body.wire->data;
  size_t length = static_cast<size_t>(message.body.wire->length);
  size_t at = 0;
  for (int i = 0; i < message.file_count; ++i) {
    const AttachedFile& f = message.files[i];
    if (f.at > at && !sink(context, text + at, f.at - at)) return false;
    if (!attachments_write_file(*message.upload, f.file, message.eol, sink, context)) {
      return false;
    }
    at = f.at;
  }
  return at == length || sink(context, text + at, length - at);
}

ChunkSource message_body_source(const Message* message) {
  long long size = message->body.wire->length;
  for (int i = 0; i < message->file_count; ++i) size += message->files[i].size;
  return ChunkSource{emit_body, message, size};
}

static bool append_to_buffer(void* context, const char* data, size_t size) {
  text_buffer_append_bytes(static_cast<TextBuffer*>(context), data, static_cast<int>(size));
  return true;
}

TextBuffer* message_body_text(const Message& message) {
  TextBuffer* body = text_buffer_new("");
  ChunkSource source = message_body_source(&message);
  if (!chunk_source_write(source, append_to_buffer, body)) {
    text_buffer_free(body);
    return nullptr;
  }
  return body;
}

bool message_write(const Message& message, ChunkSinkFn sink, void* context) {
  const char* eol = message.eol != nullptr ? message.eol : "\n";
  if (!sink(context, message.header.wire->data, static_cast<size_t>(message.header.wire->length)) ||
      !sink(context, eol, strlen(eol))) {
    return false;
  }
  ChunkSource body = message_body_source(&message);
  return chunk_source_write(body, sink, context);
}
