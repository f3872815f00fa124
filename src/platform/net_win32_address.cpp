// The address parser of net.h on Windows: inet_pton comes with Windows
// Sockets 2 (Windows Vista and later), declared apart from winsock.h.
#define _WIN32_WINNT 0x0600
#include <winsock2.h>
#include <ws2tcpip.h>

#include <string.h>

#include "platform/net.h"

bool net_parse_address(const char* text, unsigned char out[16]) {
  if (inet_pton(AF_INET6, text, out) == 1) return true;
  unsigned char v4[4];
  if (inet_pton(AF_INET, text, v4) != 1) return false;
  memset(out, 0, 10);
  out[10] = 0xff;
  out[11] = 0xff;
  memcpy(out + 12, v4, 4);
  return true;
}
