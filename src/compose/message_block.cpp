#include "compose/message_block.h"

#include <cstring>

#include "base/log.h"

void message_put_own(MessageBlock* block, const char* text) {
  int length = static_cast<int>(strlen(text));
  text_buffer_append_bytes(block->wire, text, length);
  if (block->shown != nullptr) text_buffer_append_bytes(block->shown, text, length);
}

void message_put_outside(MessageBlock* block, const char* text, size_t length) {
  text_buffer_append_bytes(block->wire, text, static_cast<int>(length));
  if (block->shown != nullptr) log_escape_append(block->shown, text, length);
}

const char* message_shown(const MessageBlock& block) {
  return block.shown != nullptr ? block.shown->data : nullptr;
}

void message_block_free(MessageBlock* block) {
  text_buffer_free(block->wire);
  text_buffer_free(block->shown);
  *block = MessageBlock();
}
