#pragma once
// Byte and line transport over the one SMTP connection, with every step
// traced in the log and every socket failure logged in words.

#include "platform/net.h"

constexpr int kReplyBufferSize = 1000;

struct SmtpConnection {
  OsSocket socket;        // smtp_socket; kNoSocket when none
  bool winsock_started;
  int timeout_seconds;    // bound on connecting and on every send and recv
  // Bytes received after the last line end of a read, kept for the next read.
  char pending[kReplyBufferSize + 1];
  int pending_length;
  // A read ran out of time: the server's replies can no longer be matched
  // to the commands, so the dialogue stops waiting for more.
  bool timed_out;
};
extern SmtpConnection g_smtp;

// Starts the socket library (version 1.1), logging a failure or wrong version.
void TCPstartup();

// Lower-cases `host` in place and connects to it. Returns the socket or -1.
OsSocket TCPconnect(char* host, int port);

// Sends `size` bytes of `data` on `sock`, pausing 100 ms between partial
// sends. Returns `size`, 0 when `size` is 0, -1 on failure or when `sock`
// is -1.
int TCPwrite(OsSocket sock, const char* data, int size);

// Sends `line` and the email line ending on g_smtp.socket.
void sendr(const char* line);

// Reads the server greeting to its final line (traced as "RECV(%d): {...}").
void TCPdoread_greeting();

// Reads one reply to its final line. Returns 1 when a final line was read,
// 0 when a receive failed or a line outgrew the reply buffer. When `code` is
// not null it receives the reply's three-digit code (0 when unreadable).
// Lines after the final one stay in g_smtp.pending for the next read.
int TCPdoread(int* code = nullptr);

// Logs the last socket error in words with `context`; nothing when it is 0.
void wsock_error(const char* context);

// What wsock_error says for a Windows Sockets error code after its
// "wsock: (<context>) " prefix, line end included; null for a code it does
// not know.
const char* wsock_message_text(int code);

// Resets g_smtp (tests only).
void smtp_connection_reset();
