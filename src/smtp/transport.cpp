#include "smtp/transport.h"

SmtpConnection g_smtp = {kNoSocket, false, 60, {0}, 0};
void TCPstartup() {}
OsSocket TCPconnect(char*, int) { return kNoSocket; }
int TCPwrite(OsSocket, const char*, int) { return -1; }
void sendr(const char*) {}
void TCPdoread_greeting() {}
int TCPdoread(int*) { return 0; }
void wsock_error(const char*) {}
const char* wsock_message_format(int) { return nullptr; }
void smtp_connection_reset() {}
