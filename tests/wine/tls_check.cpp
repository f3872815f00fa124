// Checks of the Windows TLS client session against the openssl s_server
// instances that tests/wine/tls_checks.sh starts on 127.0.0.1:
//   tls_check.exe files CA.pem OTHER_CA.pem MISSING.pem GOOD FULL OLD EXPIRED
//                 RENEGOTIATE
//   tls_check.exe system GOOD      (after the test CA joined the ROOT store)
// GOOD serves a leaf for localhost and 127.0.0.1 with its intermediate and
// sends each line back reversed ("CLOSE" ends the session); FULL sends the
// test CA along as well; OLD speaks TLS 1.1 only; EXPIRED serves an expired
// leaf of the same chain; RENEGOTIATE asks for a new handshake once the
// first is done. CA.pem holds an unrelated CA and then the test CA;
// OTHER_CA has the test CA's name but another key.
// Prints one line per failure and a closing count.

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <winsock.h>

#include <string>

#include "platform/net.h"
#include "platform/tls.h"

static int g_passed = 0;
static int g_failed = 0;

static void check_text(const std::string& got, const std::string& want,
                       const char* what) {
  if (got == want) {
    g_passed++;
  } else {
    g_failed++;
    printf("FAIL %s: got \"%s\", want \"%s\"\n", what, got.c_str(),
           want.c_str());
  }
}

static void check(bool ok, const char* what) {
  if (ok) {
    g_passed++;
  } else {
    g_failed++;
    printf("FAIL %s\n", what);
  }
}

static OsSocket connect_to(int port) {
  OsSocket sock = net_socket(net_af_inet());
  if (net_connect(sock, net_af_inet(), inet_addr("127.0.0.1"), port, 5) != 0) {
    printf("cannot connect to port %d (error %d)\n", port, net_last_error());
  }
  return sock;
}

// "accepted", or the reason tls_start gave for refusing.
static std::string handshake(int port, const char* host, const char* ca_file) {
  OsSocket sock = connect_to(port);
  char error[kTlsErrorSize] = "";
  TlsSession* session = tls_start(sock, host, ca_file, 10, error);
  tls_close(session);
  closesocket(static_cast<SOCKET>(sock));
  return session != nullptr ? "accepted" : error;
}

static std::string reversed(const std::string& text) {
  return std::string(text.rbegin(), text.rend());
}

static void check_session(int port, const char* ca_file) {
  OsSocket sock = connect_to(port);
  char error[kTlsErrorSize] = "";
  TlsSession* s = tls_start(sock, "localhost", ca_file, 10, error);
  check_text(error, "", "session started");
  if (s == nullptr) {
    closesocket(static_cast<SOCKET>(sock));
    return;
  }
  check(strncmp(tls_description(s), "TLSv1.", 6) == 0, tls_description(s));

  // More than one record's worth: tls_send must split it, and the answer
  // arrives over several records.
  std::string sent;
  std::string want;
  for (int line = 0; line < 3; line++) {
    std::string text;
    for (int i = 0; i < 9000; i++)
      text += static_cast<char>('a' + (i * 7 + line) % 26);
    sent += text + "\n";
    want += reversed(text) + "\n";
  }
  int size = static_cast<int>(sent.size());
  check(tls_send(s, sent.data(), size, 5) == size, "large send taken whole");
  std::string got;
  char buf[1000];
  int n = 0;
  while (got.size() < want.size() &&
         (n = tls_recv(s, buf, sizeof buf, 5)) > 0) {
    got.append(buf, static_cast<size_t>(n));
  }
  check(got == want, "large answer read back");

  // A short read leaves the rest of the record, which the next read returns
  // without waiting for more from the server.
  check(tls_send(s, "xyz\n", 4, 5) == 4, "short send");
  check(tls_recv(s, buf, 2, 5) == 2 && memcmp(buf, "zy", 2) == 0,
        "first part of a record");
  check(tls_recv(s, buf, sizeof buf, 5) == 2 && memcmp(buf, "x\n", 2) == 0,
        "rest of the record from the buffer");

  check(tls_recv(s, buf, sizeof buf, 1) == -1, "silent server");
  check(net_last_error() == WSAETIMEDOUT,
        "time-out code after a silent server");

  check(tls_send(s, "CLOSE\n", 6, 5) == 6, "close request sent");
  check(tls_recv(s, buf, sizeof buf, 5) == 0, "server's close read as end");
  check(net_last_error() == 0, "no error code after the close");
  tls_close(s);
  closesocket(static_cast<SOCKET>(sock));
}

static SOCKET listen_local(int* port) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in where;
  memset(&where, 0, sizeof where);
  where.sin_family = AF_INET;
  where.sin_addr.s_addr = inet_addr("127.0.0.1");
  bind(s, reinterpret_cast<struct sockaddr*>(&where), sizeof where);
  listen(s, 5);
  int size = sizeof where;
  getsockname(s, reinterpret_cast<struct sockaddr*>(&where), &size);
  *port = ntohs(where.sin_port);
  return s;
}

// Peers that are no TLS server: one never answers, one closes at once.
static void check_broken_peers() {
  int port = 0;
  SOCKET server = listen_local(&port);
  char error[kTlsErrorSize] = "";
  OsSocket sock = connect_to(port);
  check(tls_start(sock, "localhost", nullptr, 1, error) == nullptr,
        "silent peer refused");
  check_text(error, "handshake timed out", "silent peer");
  closesocket(static_cast<SOCKET>(sock));
  closesocket(server);

  server = listen_local(&port);
  sock = connect_to(port);
  SOCKET peer = accept(server, nullptr, nullptr);
  shutdown(peer, 1);  // no more sending; the ClientHello still arrives
  check(tls_start(sock, "localhost", nullptr, 5, error) == nullptr,
        "closing peer refused");
  check_text(error, "connection closed during handshake", "closing peer");
  closesocket(peer);
  closesocket(static_cast<SOCKET>(sock));
  closesocket(server);
}

// The client does not renegotiate: the read that meets the server's request
// fails at once instead of waiting out its time limit.
static void check_renegotiation(int port, const char* ca_file) {
  OsSocket sock = connect_to(port);
  char error[kTlsErrorSize] = "";
  TlsSession* s = tls_start(sock, "localhost", ca_file, 10, error);
  check_text(error, "", "session with a renegotiating server");
  char buf[100];
  if (s != nullptr) {
    check(tls_recv(s, buf, sizeof buf, 20) == -1, "renegotiation refused");
    check(net_last_error() == WSAECONNABORTED, "renegotiation code");
  }
  tls_close(s);
  closesocket(static_cast<SOCKET>(sock));
}

static void check_with_files(char** argv) {
  const char* ca = argv[2];
  const char* other_ca = argv[3];
  const char* missing = argv[4];
  int good = atoi(argv[5]);
  int full = atoi(argv[6]);
  int old = atoi(argv[7]);
  int expired = atoi(argv[8]);
  int renegotiate = atoi(argv[9]);

  check_session(good, ca);
  const struct {
    const char* what;
    int port;
    const char* host;
    const char* ca_file;
    const char* want;
  } cases[] = {
      {"address matched by an IP entry", good, "127.0.0.1", ca, "accepted"},
      {"chain without a root", good, "localhost", nullptr,
       "certificate not trusted"},
      {"root sent by the server", full, "localhost", nullptr,
       "certificate not trusted"},
      {"root sent, CA file of the same name and another key", full, "localhost",
       other_ca, "certificate not trusted"},
      {"wrong host name", good, "other.example", ca,
       "certificate name does not match other.example"},
      {"wrong address", good, "127.0.0.2", ca,
       "certificate name does not match 127.0.0.2"},
      {"expired leaf", expired, "localhost", ca, "certificate expired"},
      {"TLS 1.1 only server", old, "localhost", ca,
       "protocol version refused (TLS 1.2 at least)"},
  };
  for (const auto& c : cases) {
    check_text(handshake(c.port, c.host, c.ca_file), c.want, c.what);
  }
  check_text(handshake(good, "localhost", missing),
             std::string("CA file cannot be read: ") + missing,
             "unreadable CA file");
  check_broken_peers();
  check_renegotiation(renegotiate, ca);
}

int main(int argc, char** argv) {
  int version = 0;
  net_startup(&version);
  if (argc == 10 && strcmp(argv[1], "files") == 0) {
    check_with_files(argv);
  } else if (argc == 3 && strcmp(argv[1], "system") == 0) {
    check_text(handshake(atoi(argv[2]), "localhost", nullptr), "accepted",
               "test CA from the system store");
  } else {
    fprintf(stderr, "usage: see the head of tests/wine/tls_check.cpp\n");
    return 2;
  }
  printf("%d passed, %d failed\n", g_passed, g_failed);
  return g_failed == 0 ? 0 : 1;
}
