#pragma once
// The SMTP exchange for one message.

// Connects to `server` ("host" or "host:port"; changed in place), sends the
// envelope and the message, and returns 1 only when the server accepted the
// message data with a 2xx reply; 0 otherwise (also when there is no server).
// The message content is sent only after the server answered DATA with 354.
int smtp_dialogue(char* server, const char* from, const char* to,
                  const char* header_block, const char* body);

// Writes `content` on the connection with a "." added in front of every line
// that begins with "." (a line begins at the start and after every LF).
// Returns 0, or -1 when a write failed.
int send_dot_stuffed(const char* content);

// The port of the text after the colon of an `smtp` setting, read as atoi
// does (leading white space, a sign, digits up to the first non-digit; no
// digits give 0) and taken modulo 65536.
int smtp_port_from_text(const char* text);
