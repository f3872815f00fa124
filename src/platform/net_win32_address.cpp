// The address parser of net.h on Windows: inet_pton comes with Windows
// Sockets 2 (Windows Vista and later), declared apart from winsock.h.
#define _WIN32_WINNT 0x0600
#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/net.h"

bool net_parse_address(const char* text, bool ipv6, unsigned char* out) {
  return inet_pton(ipv6 ? AF_INET6 : AF_INET, text, out) == 1;
}
