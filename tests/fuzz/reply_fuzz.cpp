// Reading SMTP replies from a server that sends any bytes and then closes.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "fuzz_common.h"
#include "smtp/transport.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_quiet_process();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 60000) return 0;  // what one socket buffer holds without a reader
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return 0;
  size_t sent = 0;
  while (sent < size) {
    ssize_t n = write(pair[1], data + sent, size - sent);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  close(pair[1]);
  SmtpOptions options = {};
  options.timeout_seconds = 1;
  SmtpSession session;
  smtp_session_init(&session, options);
  session.socket = pair[0];
  TCPdoread_greeting(&session);
  int reads = 0;
  while (TCPdoread(&session) == 1 && ++reads < 100000) {
  }
  smtp_session_end(&session);
  return 0;
}
