#pragma once
// The SMTP exchange for one message.

// Connects to `server` ("host" or "host:port"; changed in place), sends the
// envelope and the message, and returns 1 only when the server accepted the
// message data with a 2xx reply; 0 otherwise (also when there is no server).
int smtp_dialogue(char* server, const char* from, const char* to,
                  const char* header_block, const char* body);

// Writes `content` on the connection with a "." added in front of every line
// that begins with "." (a line begins at the start and after every LF).
// Returns 0, or -1 when a write failed.
int send_dot_stuffed(const char* content);
