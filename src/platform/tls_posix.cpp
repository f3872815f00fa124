#include "platform/tls.h"

#include <cstdio>

// Placeholder until the OpenSSL session lands: no TLS on this build.
TlsSession* tls_start(OsSocket, const char*, const char*, int, char* error) {
  snprintf(error, kTlsErrorSize, "TLS library not available");
  return nullptr;
}
int tls_send(TlsSession*, const char*, int, int) { return -1; }
int tls_recv(TlsSession*, char*, int, int) { return -1; }
const char* tls_description(TlsSession*) { return ""; }
void tls_close(TlsSession*) {}
