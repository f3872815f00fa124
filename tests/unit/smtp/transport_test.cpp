#include "smtp/transport.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/net.h"
#include "smtp_fixture.h"

namespace {

using TransportTest = SmtpTest;

TEST(WsockMessages, KnownCodesHaveTheirTextAndOthersNone) {
  struct {
    int code;
    const char* text;
  } cases[] = {
      {10004, "The (blocking) call was canceled via WSACancelBlockingCall.\n"},
      {10039, "DestAddrReq\n"},
      {10054, "The virtual circuit was reset by the remote side.\n"},
      {10058,
       "The socket has been shutdown; it is not possible to sendln on a socket "
       "after shutdown has been invoked with how set to 1 or 2.\n"},
      {10060, "Timedout\n"},
      {10061, "Connection Refused\n"},
      {10066, "Not Empty\n"},
      {10093, "A successful WSAStartup must occur before using this API.\n"},
      {0, nullptr},
      {10056, nullptr},
      {10062, nullptr},
      {11001, nullptr},
      {111, nullptr},
  };
  for (const auto& c : cases) {
    const char* text = wsock_message_text(c.code);
    if (c.text == nullptr) {
      EXPECT_EQ(nullptr, text) << c.code;
    } else {
      ASSERT_NE(nullptr, text) << c.code;
      EXPECT_STREQ(c.text, text) << c.code;
    }
  }
}

TEST_F(TransportTest, WsockErrorLogsKnownUnknownAndNothingForZero) {
  net_set_last_error(10061);
  wsock_error("mail.example.com");
  net_set_last_error(0);
  wsock_error("quiet");
  net_set_last_error(12345);
  wsock_error("Socket Error, could not write.");
  EXPECT_EQ(
      "wsock: (mail.example.com) Connection Refused\n\n"
      "wsock: (Socket Error, could not write.) Socket Unkown error code "
      "12345 \n\n",
      log_text());
}

TEST_F(TransportTest, ReplyLinesAreLoggedWithNewlinePositions) {
  struct {
    std::vector<std::string> chunks;  // each written by the peer separately
    const char* log;
    int code;
  } cases[] = {
      {{"250-a\r\n250 b\r\n"},
       "RECV(%d):[6] {250-a\r}\n\nRECV(%d):[13] {250 b\r}\n\n", 250},
      {{"250-a\r\n", "250 b\r\n"},
       "RECV(%d):[6] {250-a\r}\n\nRECV(%d):[13] {250 b\r}\n\n", 250},
      {{"354 go a", "head\r\n"}, "RECV(%d):[13] {354 go ahead\r}\n\n", 354},
      {{"220\n"}, "RECV(%d):[3] {220}\n\n", 220},
      {{"x\n"}, "RECV(%d):[1] {x}\n\n", 0},
  };
  for (const auto& c : cases) {
    reset();
    std::thread peer_thread([&] {
      for (size_t i = 0; i < c.chunks.size(); ++i) {
        if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(30));
        peer_send(c.chunks[i]);
      }
    });
    int code = -1;
    EXPECT_EQ(1, TCPdoread(session(), &code));
    peer_thread.join();
    EXPECT_EQ(c.code, code);
    EXPECT_EQ(with_fd(c.log), log_text());
  }
}

TEST_F(TransportTest, BytesAfterTheFinalLineWaitForTheNextRead) {
  peer_send("220 hi\r\n250-big\r\n250 ok\r\n35");
  int code = 0;
  ASSERT_EQ(1, TCPdoread(session(), &code));
  EXPECT_EQ(220, code);
  ASSERT_EQ(1, TCPdoread(session(), &code));  // from what was kept: no receive needed
  EXPECT_EQ(250, code);
  peer_send("4 go\r\n");
  ASSERT_EQ(1, TCPdoread(session(), &code));
  EXPECT_EQ(354, code);
  EXPECT_EQ(with_fd("RECV(%d):[7] {220 hi\r}\n\n"
                    "RECV(%d):[8] {250-big\r}\n\n"
                    "RECV(%d):[16] {250 ok\r}\n\n"
                    "RECV(%d):[7] {354 go\r}\n\n"),
            log_text());
}

TEST_F(TransportTest, GreetingIsLoggedWithoutPositions) {
  peer_send("220-one\r\n220 two\r\n");
  TCPdoread_greeting(session());
  EXPECT_EQ(with_fd("RECV(%d): {220-one\r}\n\nRECV(%d): {220 two\r}\n\n"),
            log_text());
}

TEST_F(TransportTest, ReplyLongerThanTheBufferStillReadsWhole) {
  std::string reply;
  for (int i = 0; i < 40; ++i) reply += "250-line of text number " + std::to_string(i) + "\r\n";
  reply += "250 end\r\n";
  ASSERT_GT(reply.size(), 1000u);
  peer_send(reply);
  int code = 0;
  EXPECT_EQ(1, TCPdoread(session(), &code));
  EXPECT_EQ(250, code);
  std::string last = "RECV(" + std::to_string(fd()) + "):[" +
                     std::to_string(reply.size() - 1) + "] {250 end\r}\n\n";
  std::string log = log_text();
  EXPECT_EQ(last, log.substr(log.size() - last.size()));
}

TEST_F(TransportTest, OverlongLineIsReadToItsEndAndJudgedByItsCode) {
  // 5000 bytes, then the next reply: the first is taken by its code and its
  // start, and the second is read where it begins.
  peer_send("250 " + std::string(4994, 'x') + "\r\n354 go\r\n");
  int code = 0;
  EXPECT_EQ(1, TCPdoread(session(), &code));
  EXPECT_EQ(250, code);
  EXPECT_EQ("250 " + std::string(508, 'x'), session()->last_reply);
  EXPECT_EQ(1, TCPdoread(session(), &code));
  EXPECT_EQ(354, code);
  EXPECT_NE(std::string::npos, log_text().find(with_fd("RECV(%d):[7] {354 go\r}")));

  // A line that never ends is given up after 64 KiB.
  reset();
  peer_send("250 " + std::string(70000, 'x'));
  EXPECT_EQ(0, TCPdoread(session()));
  EXPECT_NE(std::string::npos, log_text().find("TCPdoread failed: no line end within 65536 bytes"));
}

TEST_F(TransportTest, ReadFailures) {
  // The peer closes: nothing is logged, since there is no error code.
  peer_send("250-half\r\n");
  close_peer();
  EXPECT_EQ(0, TCPdoread(session()));
  EXPECT_EQ(with_fd("RECV(%d):[9] {250-half\r}\n\n"), log_text());

  // The peer stays silent past the time limit.
  reset();
  session()->options.timeout_seconds = 1;
  EXPECT_EQ(0, TCPdoread(session()));
  EXPECT_EQ("wsock: (TCPdoread failed) Timedout\n\n", log_text());
}

TEST_F(TransportTest, WriteSendsAndTraces) {
  EXPECT_EQ(0, TCPwrite(session(), fd(), "abc", 0));
  EXPECT_EQ(-1, TCPwrite(session(), kNoSocket, "abc", 3));
  EXPECT_EQ("", log_text());
  EXPECT_EQ("", peer_received());

  EXPECT_EQ(5, TCPwrite(session(), fd(), "hello", 5));
  EXPECT_EQ("hello", peer_received());
  EXPECT_EQ(with_fd("SENT(%d): (5/5 bytes) {hello}\n"), log_text());
}

TEST_F(TransportTest, PartialSendsContinueWhereTheyStopped) {
  int small = 4096;
  setsockopt(fd(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  std::string data;
  for (int i = 0; data.size() < 60000; ++i) data += std::to_string(i) + ",";
  std::string received;
  std::thread reader([&] {
    char buf[1024];
    while (received.size() < data.size()) {
      ssize_t n = read(peer(), buf, sizeof buf);
      if (n <= 0) break;
      received.append(buf, static_cast<size_t>(n));
    }
  });
  int size = static_cast<int>(data.size());
  EXPECT_EQ(size, TCPwrite(session(), fd(), data.c_str(), size));
  reader.join();
  EXPECT_EQ(data, received);

  // Every chunk is traced with its share and the text from where it starts.
  std::string log = log_text();
  int total = 0;
  int chunks = 0;
  size_t at = 0;
  std::string head = with_fd("SENT(%d): (");
  while ((at = log.find(head, at)) != std::string::npos) {
    int n = 0, of = 0;
    ASSERT_EQ(2, sscanf(log.c_str() + at + head.size(), "%d/%d", &n, &of));
    EXPECT_EQ(size, of);
    size_t brace = log.find("bytes) {", at) + 8;
    EXPECT_EQ(0, log.compare(brace, 20, data, static_cast<size_t>(total), 20));
    total += n;
    ++chunks;
    at = brace;
  }
  EXPECT_EQ(size, total);
  EXPECT_GT(chunks, 1);
}

TEST_F(TransportTest, TraceOfAnEscapedCopyKeepsStepWithPartialSends) {
  int small = 4096;
  setsockopt(fd(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  std::string data;
  std::string shown;
  for (int i = 0; data.size() < 60000; ++i) {
    data += std::to_string(i) + "\n";
    shown += std::to_string(i) + "\\n";
  }
  std::string received;
  std::thread reader([&] {
    char buf[1024];
    while (received.size() < data.size()) {
      ssize_t n = read(peer(), buf, sizeof buf);
      if (n <= 0) break;
      received.append(buf, static_cast<size_t>(n));
    }
  });
  smtp_queue_dot_stuffed(session(), data.c_str(), shown.c_str());
  EXPECT_EQ(0, smtp_flush(session()));
  reader.join();
  EXPECT_EQ(data, received);

  // Each chunk's trace starts where the copy stands for its first byte.
  std::string log = log_text();
  size_t total = 0;
  int chunks = 0;
  size_t at = 0;
  std::string head = with_fd("SENT(%d): (");
  while ((at = log.find(head, at)) != std::string::npos) {
    int n = 0;
    ASSERT_EQ(1, sscanf(log.c_str() + at + head.size(), "%d/", &n));
    size_t brace = log.find("bytes) {", at) + 8;
    size_t in_copy = total + static_cast<size_t>(std::count(data.begin(), data.begin() + total, '\n'));
    EXPECT_EQ(0, log.compare(brace, 20, shown, in_copy, 20)) << total;
    total += static_cast<size_t>(n);
    ++chunks;
    at = brace;
  }
  EXPECT_EQ(data.size(), total);
  EXPECT_GT(chunks, 1);
}

TEST_F(TransportTest, WriteToAClosedPeerFails) {
  close_peer();
  EXPECT_EQ(-1, TCPwrite(session(), fd(), "QUIT\n", 5));
  EXPECT_EQ(
      "wsock: (Socket Error, could not write.) The virtual circuit was reset "
      "by the remote side.\n\n",
      log_text());
}

TEST_F(TransportTest, SendrAddsTheLineEnding) {
  struct {
    const char* ending;
    const char* line;
    const char* wire;
    const char* log;
  } cases[] = {
      {"\n", "MAIL FROM:<a@b.c>", "MAIL FROM:<a@b.c>\n",
       "SEND(%d): {MAIL FROM:<a@b.c>\n}\n\n"
       "SENT(%d): (18/18 bytes) {MAIL FROM:<a@b.c>\n}\n"},
      {"\r\n", "DATA", "DATA\r\n",
       "SEND(%d): {DATA\n}\n\n"
       "SENT(%d): (6/6 bytes) {DATA\r\n}\n"},
      {"\r\n", "", "\r\n",
       "SEND(%d): {\n}\n\n"
       "SENT(%d): (2/2 bytes) {\r\n}\n"},
  };
  for (const auto& c : cases) {
    reset();
    session()->options.line_ending = c.ending;
    sendr(session(), c.line);
    EXPECT_EQ(c.wire, peer_received());
    EXPECT_EQ(with_fd(c.log), log_text());
  }
}

TEST_F(TransportTest, SendrReportsAFailedWrite) {
  close_peer();
  sendr(session(), "QUIT");
  std::string log = log_text();
  std::string reset = "The virtual circuit was reset by the remote side.\n\n";
  EXPECT_NE(std::string::npos,
            log.find("wsock: (TCPwrite failed in sendr(1)) " + reset));
}

TEST_F(TransportTest, ConnectLowerCasesAndReportsFailures) {
  Listener listener;
  char host[] = "LocalHost";
  OsSocket sock = TCPconnect(session(), host, listener.port + 65536);  // port mod 65536
  EXPECT_STREQ("localhost", host);
  ASSERT_NE(kNoSocket, sock);
  int accepted = accept(listener.fd, nullptr, nullptr);
  EXPECT_GE(accepted, 0);
  close(accepted);
  close(static_cast<int>(sock));
  EXPECT_EQ("", log_text());

  char unknown[] = "No-Such-Host.invalid";
  EXPECT_EQ(kNoSocket, TCPconnect(session(), unknown, 25));
  EXPECT_STREQ("no-such-host.invalid", unknown);
  EXPECT_EQ("SMTP email server (no-such-host.invalid port 25): the name could not be resolved.\n",
            log_text());

  reset();
  listener.stop();
  char loopback[] = "127.0.0.1";
  EXPECT_EQ(kNoSocket, TCPconnect(session(), loopback, listener.port));
  EXPECT_EQ("wsock: (127.0.0.1 port " + std::to_string(listener.port) + ") Connection Refused\n\n",
            log_text());

  reset();
  char malformed[] = "1.2.3.999";  // inet_addr gives all ones
  EXPECT_EQ(kNoSocket, TCPconnect(session(), malformed, 25));
  EXPECT_EQ(0u, log_text().find("wsock: (1.2.3.999 port 25) "));
}

TEST_F(TransportTest, StartupGrantsTheVersionQuietly) {
  TCPstartup();
  EXPECT_EQ("", log_text());
}

}  // namespace
