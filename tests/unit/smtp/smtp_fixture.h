#pragma once
// Shared pieces of the SMTP unit tests: a private log file whose lines can be
// read back without their timestamps, and the peer end of a connection.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "base/log.h"
#include "smtp/transport.h"

class SmtpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    snprintf(log_path_, sizeof log_path_, "/tmp/quillon-smtp-test-XXXXXX");
    int fd = mkstemp(log_path_);
    ASSERT_GE(fd, 0);
    close(fd);
    g_log.path = log_path_;
    g_log.logging = nullptr;
    g_log.busy = false;
    SmtpOptions options = {};
    options.timeout_seconds = 5;
    smtp_session_init(&session_, options);
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, pair_));
    session_.socket = pair_[0];
  }

  void TearDown() override {
    close_peer();
    // The session's end closes its socket (pair_[0] unless a test let go of it).
    smtp_session_end(&session_);
    pair_[0] = -1;
    unlink(log_path_);
  }

  // A fresh log and connection within one test (for table-driven cases).
  void reset() {
    TearDown();
    SetUp();
  }

  int fd() const { return pair_[0]; }
  SmtpSession* session() { return &session_; }
  int peer() const { return pair_[1]; }

  void close_peer() {
    if (pair_[1] >= 0) close(pair_[1]);
    pair_[1] = -1;
  }

  void peer_send(const std::string& bytes) {
    ASSERT_EQ(static_cast<ssize_t>(bytes.size()),
              write(pair_[1], bytes.data(), bytes.size()));
  }

  // Everything the peer can read without waiting.
  std::string peer_received() {
    std::string out;
    char buf[4096];
    for (;;) {
      ssize_t n = recv(pair_[1], buf, sizeof buf, MSG_DONTWAIT);
      if (n <= 0) break;
      out.append(buf, static_cast<size_t>(n));
    }
    return out;
  }

  // The log with the "<timestamp> - pid(<n>) - " prefixes taken out.
  std::string log_text() {
    std::string raw;
    FILE* f = fopen(log_path_, "rb");
    if (f == nullptr) return raw;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) raw.append(buf, n);
    fclose(f);
    std::string out;
    size_t start = 0;
    while (start < raw.size()) {
      size_t end = raw.find('\n', start);
      if (end == std::string::npos) end = raw.size() - 1;
      std::string line = raw.substr(start, end + 1 - start);
      size_t mark = line.find(" - pid(");
      size_t after = mark == std::string::npos ? mark : line.find(") - ", mark);
      if (after != std::string::npos) line = line.substr(after + 4);
      out += line;
      start = end + 1;
    }
    return out;
  }

  // "FORMAT" with the connection's socket number in place of each "%d".
  std::string with_fd(const char* format) {
    std::string out;
    std::string number = std::to_string(fd());
    for (const char* p = format; *p != '\0'; ++p) {
      if (p[0] == '%' && p[1] == 'd') {
        out += number;
        ++p;
      } else {
        out += *p;
      }
    }
    return out;
  }

 private:
  char log_path_[64];
  SmtpSession session_ = {};
  int pair_[2] = {-1, -1};
};

// A TCP listener on 127.0.0.1 with a port of the system's choosing.
struct Listener {
  int fd = -1;
  int port = 0;

  Listener() {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    listen(fd, 4);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
  }
  ~Listener() {
    if (fd >= 0) close(fd);
  }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // Closes the listener, leaving a port that refuses connections.
  void stop() {
    close(fd);
    fd = -1;
  }
};
