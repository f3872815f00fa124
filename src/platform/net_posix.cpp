#include "platform/net.h"
#include "platform/net_posix.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <climits>

namespace {

// The last failure as a Windows Sockets number, which is what the log quotes.
int g_last_error = 0;

struct ErrnoCode {
  int posix;
  int wsa;
};

// errno values and the Windows Sockets codes that mean the same.
const ErrnoCode kErrnoCodes[] = {
    {EINTR, 10004},        {EACCES, 10013},        {EFAULT, 10014},
    {EINVAL, 10022},       {EWOULDBLOCK, 10035},   {EINPROGRESS, 10036},
    {ENOTSOCK, 10038},     {EDESTADDRREQ, 10039},  {EMSGSIZE, 10040},
    {EOPNOTSUPP, 10045},   {EADDRINUSE, 10048},    {EADDRNOTAVAIL, 10049},
    {ENETDOWN, 10050},     {ENETUNREACH, 10051},   {ENETRESET, 10052},
    {ECONNABORTED, 10053}, {ECONNRESET, 10054},    {EPIPE, 10054},
    {ENOBUFS, 10055},      {ENOTCONN, 10057},      {ESHUTDOWN, 10058},
    {ETOOMANYREFS, 10059}, {ETIMEDOUT, 10060},     {ECONNREFUSED, 10061},
    {ENAMETOOLONG, 10063}, {EHOSTDOWN, 10064},     {EHOSTUNREACH, 10065},
    {ENOTEMPTY, 10066},
};

int wsa_code(int posix_error) {
  for (const ErrnoCode& entry : kErrnoCodes) {
    if (entry.posix == posix_error) return entry.wsa;
  }
  return posix_error;
}

void fail_with_errno() { g_last_error = wsa_code(errno); }

long long now_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

long long deadline_after(int timeout_seconds) {
  if (timeout_seconds <= 0) return LLONG_MAX;  // no limit asked for
  return now_ms() + static_cast<long long>(timeout_seconds) * 1000;
}

// Waits until `sock` is ready for `events` or the deadline passes. Returns 1
// when ready, 0 on time-out, -1 on failure (g_last_error set either way).
int wait_ready(OsSocket sock, short events, long long deadline) {
  for (;;) {
    int wait_ms = -1;
    if (deadline != LLONG_MAX) {
      long long left = deadline - now_ms();
      if (left < 0) left = 0;
      wait_ms = left > INT_MAX ? INT_MAX : static_cast<int>(left);
    }
    struct pollfd pfd;
    pfd.fd = static_cast<int>(sock);
    pfd.events = events;
    pfd.revents = 0;
    int ready = poll(&pfd, 1, wait_ms);
    if (ready > 0) return 1;
    if (ready == 0) {
      g_last_error = kWsaTimedOut;
      return 0;
    }
    if (errno != EINTR) {
      fail_with_errno();
      return -1;
    }
  }
}

// Acknowledges what was just read without the usual delay. A server that
// writes a multi-line reply (or the replies to pipelined commands) line by
// line, with Nagle's algorithm on, holds each further line until its first
// one is acknowledged; we send nothing while we wait for the rest, so the
// acknowledgement would otherwise wait for the delayed-ACK timer (40 ms on
// Linux). The kernel drops back to delaying after each send, hence once per
// read.
void acknowledge_now(OsSocket sock) {
#ifdef TCP_QUICKACK
  int one = 1;
  setsockopt(static_cast<int>(sock), IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
#else
  (void)sock;
#endif
}

// Connects `fd` to `to` without blocking so that the wait can be bounded,
// then goes back to a blocking socket: the reads and writes bound their own
// waits. 0, or -1 with g_last_error set.
int connect_bounded(int fd, const struct sockaddr* to, socklen_t size, int timeout_seconds) {
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
    fail_with_errno();
    return -1;
  }
  int rc = connect(fd, to, size);
  if (rc != 0 && errno != EINPROGRESS) {
    fail_with_errno();
    return -1;
  }
  if (rc != 0) {
    if (wait_ready(fd, POLLOUT, deadline_after(timeout_seconds)) != 1) return -1;
    int error = 0;
    socklen_t len = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) {
      fail_with_errno();
      return -1;
    }
    if (error != 0) {
      g_last_error = wsa_code(error);
      return -1;
    }
  }
  fcntl(fd, F_SETFL, flags);
  return 0;
}

}  // namespace

int net_startup(int* version) {
  // Nothing to start; report the version the callers ask for.
  *version = 0x0101;
  return 0;
}

bool net_resolve(const char* host, std::uint32_t* addr, int* family) {
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) {
    return false;
  }
  const struct sockaddr_in* in =
      reinterpret_cast<const struct sockaddr_in*>(found->ai_addr);
  *addr = in->sin_addr.s_addr;
  *family = found->ai_family;
  freeaddrinfo(found);
  return true;
}

std::uint32_t net_inet_addr(const char* text) { return inet_addr(text); }

int net_af_inet() { return AF_INET; }

OsSocket net_socket(int family) {
  int sock = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (sock < 0) {
    fail_with_errno();
    return kNoSocket;
  }
  return sock;
}

int net_connect(OsSocket sock, int family, std::uint32_t addr, int port,
                int timeout_seconds) {
  struct sockaddr_in to;
  memset(&to, 0, sizeof to);
  to.sin_family = static_cast<sa_family_t>(family);
  to.sin_addr.s_addr = addr;
  to.sin_port = htons(static_cast<std::uint16_t>(port & 0xffff));
  int fd = static_cast<int>(sock);
  if (connect_bounded(fd, reinterpret_cast<struct sockaddr*>(&to), sizeof to,
                      timeout_seconds) != 0) {
    return -1;
  }
  // Commands go out as several small writes; without this each one would
  // wait for the server's delayed acknowledgement of the previous one.
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  g_last_error = 0;
  return 0;
}

OsSocket net_unix_connect(const char* path, int timeout_seconds) {
  struct sockaddr_un to;
  memset(&to, 0, sizeof to);
  to.sun_family = AF_UNIX;
  size_t length = path != nullptr ? strlen(path) : 0;
  if (length == 0 || length >= sizeof to.sun_path) {
    g_last_error = length == 0 ? wsa_code(EINVAL) : wsa_code(ENAMETOOLONG);
    return kNoSocket;
  }
  memcpy(to.sun_path, path, length);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    fail_with_errno();
    return kNoSocket;
  }
  if (connect_bounded(fd, reinterpret_cast<struct sockaddr*>(&to), sizeof to,
                      timeout_seconds) != 0) {
    close(fd);
    return kNoSocket;
  }
  g_last_error = 0;
  return fd;
}

int net_send(OsSocket sock, const char* data, int len, int timeout_seconds) {
  long long deadline = deadline_after(timeout_seconds);
  for (;;) {
    if (wait_ready(sock, POLLOUT, deadline) != 1) return -1;
    // MSG_NOSIGNAL: a peer that went away is an error code, not a SIGPIPE.
    ssize_t sent = send(static_cast<int>(sock), data, static_cast<size_t>(len),
                        MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent >= 0) {
      g_last_error = 0;
      return static_cast<int>(sent);
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      fail_with_errno();
      return -1;
    }
  }
}

int net_recv(OsSocket sock, char* buf, int len, int timeout_seconds) {
  long long deadline = deadline_after(timeout_seconds);
  for (;;) {
    if (wait_ready(sock, POLLIN, deadline) != 1) return -1;
    ssize_t got = recv(static_cast<int>(sock), buf, static_cast<size_t>(len),
                       MSG_DONTWAIT);
    if (got >= 0) {
      if (got > 0) acknowledge_now(sock);
      g_last_error = 0;
      return static_cast<int>(got);
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      fail_with_errno();
      return -1;
    }
  }
}

int net_last_error() { return g_last_error; }

void net_set_last_error(int code) { g_last_error = code; }

// The pieces tls_posix.cpp shares (declared in net_posix.h).

int net_posix_error_code(int posix_error) { return wsa_code(posix_error); }

long long net_posix_deadline(int timeout_seconds) {
  return deadline_after(timeout_seconds);
}

int net_posix_wait(OsSocket sock, short events, long long deadline) {
  return wait_ready(sock, events, deadline);
}

void net_close(OsSocket sock) {
  if (sock != kNoSocket) close(static_cast<int>(sock));
}

bool net_parse_address(const char* text, bool ipv6, unsigned char* out) {
  return inet_pton(ipv6 ? AF_INET6 : AF_INET, text, out) == 1;
}
