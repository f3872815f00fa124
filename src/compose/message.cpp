#include "compose/message.h"

Message g_message;
TextBuffer* build_header_block() { return text_buffer_new(""); }
TextBuffer* build_body_block() { return text_buffer_new(""); }
int assemble_and_send() { return 0; }
