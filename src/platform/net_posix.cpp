#include "platform/net.h"

int net_startup(int* version) { *version = 0x0101; return 0; }
bool net_resolve(const char*, std::uint32_t*, int*) { return false; }
std::uint32_t net_inet_addr(const char*) { return 0xffffffffu; }
int net_af_inet() { return 2; }
OsSocket net_socket(int) { return kNoSocket; }
int net_connect(OsSocket, int, std::uint32_t, int, int) { return -1; }
int net_send(OsSocket, const char*, int, int) { return -1; }
int net_recv(OsSocket, char*, int, int) { return -1; }
int net_last_error() { return 0; }
void net_set_last_error(int) {}
