#pragma once
// One block of a message (its header or its body) and its copy for the
// log, with the two ways text goes into both: the program's own text as
// it is, and outside text escaped in the copy. May use src/base only.

#include <cstddef>

#include "base/text.h"

// A block of the message and its copy for the log: the same text, with the
// line breaks and control characters of outside text (submitted values and
// names, settings text) escaped (log_escape_append), so that no submitted
// text can start a log line. Only the program's own line ends stay line
// ends in the copy. A body carrying files is the exception: its copy shows
// each file's size in place of the base64 lines (the SMTP trace walks the
// copy only as far as it goes). Both buffers belong to the block.
// Room for a Message-ID without its angle brackets, with the NUL.
constexpr size_t kMessageIdSize = 200;

struct MessageBlock {
  TextBuffer* wire;
  TextBuffer* shown;  // null when the log will not show the block
  // A header block's Message-ID as append_standard_headers made it, without
  // its angle brackets; "" when it has none (or it was too long to keep).
  char message_id[kMessageIdSize];
};

// The program's own text, the same in both copies; and outside text, as it
// is on the wire and escaped in the log's copy.
void message_put_own(MessageBlock* block, const char* text);

void message_put_outside(MessageBlock* block, const char* text, size_t length);

// The block's copy for the log, or null when none was kept.
const char* message_shown(const MessageBlock& block);

// Release the buffers and empty the value.
void message_block_free(MessageBlock* block);
