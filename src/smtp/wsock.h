#pragma once
// Socket errors in words, as the log has always said them: the Windows
// Sockets codes the platform layer reports. For src/smtp; may use
// src/base and src/platform.

// Logs the last socket error in words with `context`; nothing when it is 0.
void wsock_error(const char* context);

// What wsock_error says for a Windows Sockets error code after its
// "wsock: (<context>) " prefix, line end included; null for a code it does
// not know.
const char* wsock_message_text(int code);
