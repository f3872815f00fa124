#include "platform/tls.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/net.h"

namespace {

// Test certificates, made with the openssl command at run time: a test CA,
// a second CA nobody trusts, and server certificates signed by the first.
const char kMakeCertificates[] = R"(set -e
cat > openssl.cnf <<'EOF'
[req]
distinguished_name = dn
prompt = no
[dn]
CN = unused
[ca_ext]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
[ca]
default_ca = test_ca
[test_ca]
database = index.txt
new_certs_dir = .
serial = serial
default_md = sha256
policy = any
copy_extensions = copy
unique_subject = no
x509_extensions = leaf_ext
[any]
commonName = supplied
[leaf_ext]
basicConstraints = critical,CA:FALSE
EOF
: > index.txt
echo 01 > serial
key="-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes"
openssl req -x509 $key -keyout ca.key -out ca.pem -days 2 \
  -subj /CN=quillon-test-ca -config openssl.cnf -extensions ca_ext
openssl req -x509 $key -keyout other_ca.key -out other_ca.pem -days 2 \
  -subj /CN=quillon-other-ca -config openssl.cnf -extensions ca_ext
cat other_ca.pem ca.pem > bundle.pem
mkdir empty_store store
cp ca.pem store/
openssl rehash store
leaf() {
  openssl req -new $key -keyout $1.key -out $1.csr -subj /CN=$2 \
    -addext "subjectAltName=$3" -config openssl.cnf
  openssl ca -batch -notext -config openssl.cnf -cert ca.pem -keyfile ca.key \
    -in $1.csr -out $1.pem $4
}
leaf good localhost DNS:localhost,IP:127.0.0.1 "-days 2"
leaf wrong other.test DNS:other.test "-days 2"
leaf expired localhost DNS:localhost,IP:127.0.0.1 \
  "-startdate 20200101000000Z -enddate 20200102000000Z"
leaf future localhost DNS:localhost,IP:127.0.0.1 \
  "-startdate 20900101000000Z -enddate 20900102000000Z"
)";

enum ServerKind { kGood, kWrongName, kExpired, kNotYetValid, kTls11, kServers };

struct Server {
  pid_t pid;
  int port;
};

struct Fixture {
  bool no_openssl;           // no openssl command: the cases are skipped
  std::string set_up_error;  // non-empty: they fail
  std::string dir;
  Server servers[kServers];
};

Fixture g_fixture;

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Starts `openssl s_server` on a port of its own choosing, which it prints;
// the port is 0 when it did not start.
Server start_server(const std::string& cert,
                    const std::vector<std::string>& extra, int index) {
  std::string out = g_fixture.dir + "/server" + std::to_string(index) + ".out";
  std::vector<std::string> args = {
      "openssl", "s_server",
      "-accept", "127.0.0.1:0",
      "-cert",   g_fixture.dir + "/" + cert + ".pem",
      "-key",    g_fixture.dir + "/" + cert + ".key",
      "-rev"};
  args.insert(args.end(), extra.begin(), extra.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);

  Server server = {fork(), 0};
  if (server.pid == 0) {
    // The server goes with this program, even when a test crashes.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    // s_server -rev needs no input; its output goes to a file read below.
    int in = open("/dev/null", O_RDWR);
    int to = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(in, 0);
    dup2(to, 1);
    dup2(in, 2);
    execvp("openssl", argv.data());
    _exit(127);
  }
  if (server.pid < 0) return {0, 0};
  for (int i = 0; i < 500 && server.port == 0; ++i) {
    std::string text = read_file(out);
    size_t at = text.find("ACCEPT 127.0.0.1:");
    if (at != std::string::npos && text.find('\n', at) != std::string::npos) {
      server.port = atoi(text.c_str() + at + 17);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  return server;
}

void stop_server(Server* server) {
  if (server->pid <= 0) return;
  kill(server->pid, SIGTERM);
  waitpid(server->pid, nullptr, 0);
  server->pid = 0;
}

// A connection and the session over it, both closed after each test.
class TlsSocket : public ::testing::Test {
 protected:
  void TearDown() override {
    if (session_ != nullptr) tls_close(session_);
    if (sock_ != kNoSocket) close(static_cast<int>(sock_));
  }

  // A fresh connection to 127.0.0.1:port.
  void connect_to(int port) {
    if (sock_ != kNoSocket) close(static_cast<int>(sock_));
    sock_ = net_socket(net_af_inet());
    ASSERT_NE(kNoSocket, sock_);
    ASSERT_EQ(0, net_connect(sock_, net_af_inet(), net_inet_addr("127.0.0.1"),
                             port, 5));
  }

  // Reads up to and including the next line end.
  std::string read_line() {
    std::string line;
    char buf[256];
    while (line.find('\n') == std::string::npos) {
      int got = tls_recv(session_, buf, sizeof buf, 5);
      if (got <= 0) break;
      line.append(buf, static_cast<size_t>(got));
    }
    return line;
  }

  OsSocket sock_ = kNoSocket;
  TlsSession* session_ = nullptr;
  char error_[kTlsErrorSize] = {};
};

// Cases against openssl s_server with the test certificates.
class Tls : public TlsSocket {
 protected:
  static void SetUpTestSuite() {
    if (system("openssl version >/dev/null 2>&1") != 0) {
      g_fixture.no_openssl = true;
      return;
    }
    char dir[] = "/tmp/quillon-tls-test-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
      g_fixture.set_up_error = "no temporary folder";
      return;
    }
    g_fixture.dir = dir;
    std::string script = g_fixture.dir + "/make.sh";
    std::ofstream(script) << kMakeCertificates;
    std::string command =
        "cd '" + g_fixture.dir + "' && sh make.sh >make.log 2>&1";
    if (system(command.c_str()) != 0) {
      g_fixture.set_up_error =
          "certificates not made:\n" + read_file(g_fixture.dir + "/make.log");
      return;
    }
    const struct {
      const char* cert;
      std::vector<std::string> extra;
    } kinds[kServers] = {
        {"good", {}},
        {"wrong", {}},
        {"expired", {}},
        {"future", {}},
        // OpenSSL 3 refuses TLS 1.1 at its default security level.
        {"good", {"-tls1_1", "-cipher", "DEFAULT:@SECLEVEL=0"}},
    };
    for (int i = 0; i < kServers; ++i) {
      g_fixture.servers[i] = start_server(kinds[i].cert, kinds[i].extra, i);
      if (g_fixture.servers[i].port == 0) {
        g_fixture.set_up_error = "openssl s_server did not start";
      }
    }
  }

  static void TearDownTestSuite() {
    for (Server& server : g_fixture.servers) stop_server(&server);
    if (!g_fixture.dir.empty()) {
      std::string command = "rm -rf '" + g_fixture.dir + "'";
      if (system(command.c_str()) != 0) ADD_FAILURE() << command;
    }
  }

  void SetUp() override {
    if (g_fixture.no_openssl) GTEST_SKIP() << "no openssl command";
    ASSERT_EQ("", g_fixture.set_up_error);
  }

  static std::string path(const char* name) {
    return g_fixture.dir + "/" + name;
  }

  void start(ServerKind kind, const char* host, const char* ca_file) {
    connect_to(g_fixture.servers[kind].port);
    session_ = tls_start(sock_, host, ca_file, 5, error_);
  }
};

TEST_F(Tls, HandshakeChecksCertificateNameDatesAndVersion) {
  const std::string ca = path("ca.pem");
  const std::string bundle = path("bundle.pem");  // the test CA comes second
  const std::string no_certificate = path("good.key");
  const std::string no_certificate_error =
      "CA file holds no usable certificate: " + no_certificate;
  // The system's store is OpenSSL's default folder, which SSL_CERT_DIR
  // names: an empty one unless a case says otherwise.
  const std::string store = path("store");  // holds the test CA
  const std::string empty_store = path("empty_store");
  const char* saved = getenv("SSL_CERT_DIR");
  const std::string saved_dir = saved ? saved : "";
  const struct {
    ServerKind server;
    const char* host;
    const char* ca_file;
    const char* error;  // "" for a good handshake
    const char* store = nullptr;
  } cases[] = {
      {kGood, "localhost", bundle.c_str(), ""},
      {kGood, "127.0.0.1", ca.c_str(), ""},
      {kGood, "localhost", nullptr, "", store.c_str()},
      {kGood, "localhost", nullptr, "certificate not trusted"},
      {kWrongName, "localhost", ca.c_str(),
       "certificate name does not match localhost"},
      {kWrongName, "127.0.0.1", ca.c_str(),
       "certificate name does not match 127.0.0.1"},
      {kExpired, "localhost", ca.c_str(), "certificate expired"},
      {kNotYetValid, "localhost", ca.c_str(), "certificate not yet valid"},
      {kTls11, "localhost", ca.c_str(),
       "protocol version refused (TLS 1.2 at least)"},
      {kGood, "localhost", "/nonexistent/ca.pem",
       "CA file cannot be read: /nonexistent/ca.pem"},
      {kGood, "localhost", no_certificate.c_str(),
       no_certificate_error.c_str()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.host) + " " + (c.ca_file ? c.ca_file : "-"));
    setenv("SSL_CERT_DIR", c.store ? c.store : empty_store.c_str(), 1);
    start(c.server, c.host, c.ca_file);
    EXPECT_STREQ(c.error, error_);
    if (c.error[0] == '\0') {
      ASSERT_NE(nullptr, session_);
      EXPECT_EQ(0,
                std::string(tls_description(session_)).rfind("TLSv1.3 TLS_", 0))
          << tls_description(session_);
      tls_close(session_);
      session_ = nullptr;
    } else {
      EXPECT_EQ(nullptr, session_);
    }
  }
  if (saved) {
    setenv("SSL_CERT_DIR", saved_dir.c_str(), 1);
  } else {
    unsetenv("SSL_CERT_DIR");
  }
}

TEST_F(Tls, DataRoundTripReadTimeOutAndClose) {
  // A server of its own, stopped below.
  Server server = start_server("good", {}, kServers);
  ASSERT_NE(0, server.port);
  connect_to(server.port);
  session_ = tls_start(sock_, "localhost", path("ca.pem").c_str(), 5, error_);
  ASSERT_NE(nullptr, session_) << error_;
  ASSERT_EQ(6, tls_send(session_, "hello\n", 6, 5));
  EXPECT_EQ("olleh\n", read_line());

  char buf[64];
  EXPECT_EQ(-1, tls_recv(session_, buf, sizeof buf, 1));
  EXPECT_EQ(10060, net_last_error());

  // s_server -rev sends close_notify on "CLOSE".
  ASSERT_EQ(6, tls_send(session_, "CLOSE\n", 6, 5));
  int got;
  while ((got = tls_recv(session_, buf, sizeof buf, 5)) > 0) {
  }
  EXPECT_EQ(0, got);

  // Once the server is gone, writes fail with a code instead of SIGPIPE.
  stop_server(&server);
  int sent = 0;
  for (int i = 0; i < 50 && sent >= 0; ++i) {
    sent = tls_send(session_, "more\n", 5, 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(-1, sent);
  EXPECT_EQ(10054, net_last_error());
}

// A listening socket on 127.0.0.1 whose port is returned; connections wait
// in its backlog until accepted.
int listen_locally(int* port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(fd, 4) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    close(fd);
    return -1;
  }
  *port = ntohs(addr.sin_port);
  return fd;
}

TEST_F(TlsSocket, SilentServerTimesOut) {
  int port = 0;
  int listener = listen_locally(&port);
  ASSERT_GE(listener, 0);
  connect_to(port);
  auto began = std::chrono::steady_clock::now();
  session_ = tls_start(sock_, "localhost", nullptr, 1, error_);
  double waited =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began)
          .count();
  close(listener);
  EXPECT_EQ(nullptr, session_);
  EXPECT_STREQ("handshake timed out", error_);
  EXPECT_EQ(10060, net_last_error());
  EXPECT_LT(waited, 5.0);  // not a hang
}

TEST_F(TlsSocket, ServerThatFailsTheHandshake) {
  const struct {
    bool reset;
    const char* reply;  // sent in plain text before hanging up
    const char* error;
    int code;
  } cases[] = {
      {false, nullptr, "connection closed during handshake", 0},
      {true, nullptr, "connection reset during handshake", 10054},
      // The library's own words, whose tables are loaded only now.
      {false, "500 what?\r\n", "wrong version number", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    int port = 0;
    int listener = listen_locally(&port);
    ASSERT_GE(listener, 0);
    std::thread server([listener, &c] {
      int peer = accept(listener, nullptr, nullptr);
      char hello[4096];
      (void)!recv(peer, hello, sizeof hello, 0);  // the client hello
      if (c.reply != nullptr) {
        (void)!send(peer, c.reply, strlen(c.reply), MSG_NOSIGNAL);
      }
      if (c.reset) {
        struct linger now = {1, 0};
        setsockopt(peer, SOL_SOCKET, SO_LINGER, &now, sizeof now);
      }
      close(peer);
    });
    connect_to(port);
    session_ = tls_start(sock_, "localhost", nullptr, 5, error_);
    server.join();
    close(listener);
    EXPECT_EQ(nullptr, session_);
    EXPECT_STREQ(c.error, error_);
    EXPECT_EQ(c.code, net_last_error());
  }
}

// Run again by MissingLibraryIsReported, with a libssl.so.3 on
// LD_LIBRARY_PATH that is not a library: print what tls_start says, and stop
// before any test runs.
const bool g_library_child = [] {
  if (getenv("QUILLON_TLS_BROKEN_LIBRARY") == nullptr) return false;
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) _exit(2);
  char error[kTlsErrorSize] = {};
  TlsSession* session = tls_start(pair[0], "localhost", nullptr, 1, error);
  printf("%s\n", session == nullptr ? error : "session started");
  fflush(stdout);
  _exit(0);
  return true;
}();

TEST(TlsLibrary, MissingLibraryIsReported) {
  char dir[] = "/tmp/quillon-tls-lib-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(dir));
  std::string fake = std::string(dir) + "/libssl.so.3";
  std::ofstream(fake) << "not a library\n";
  // The shell popen starts would be /proc/self/exe there: name this program.
  char self[4096];
  ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(len, 0);
  self[len] = '\0';
  std::string command =
      std::string("QUILLON_TLS_BROKEN_LIBRARY=1 LD_LIBRARY_PATH=") + dir +
      " '" + self + "' 2>&1";
  FILE* child = popen(command.c_str(), "r");
  ASSERT_NE(nullptr, child);
  std::string output;
  char buf[512];
  size_t got;
  while ((got = fread(buf, 1, sizeof buf, child)) > 0) output.append(buf, got);
  int status = pclose(child);
  unlink(fake.c_str());
  rmdir(dir);
  EXPECT_EQ(0, status) << output;
  EXPECT_EQ(0, output.rfind("TLS library not available (libssl.so.3: ", 0))
      << output;
}

}  // namespace
