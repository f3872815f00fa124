// The exchange against a small server on a loopback TCP port or a
// Unix-domain socket, run on a thread of the test.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "http/http_client.h"
#include "platform/os.h"

namespace {

// A listening socket: on a Unix-domain path when `path` is given, else on a
// loopback port (stored in *port).
int listen_on(const std::string& path, int* port) {
  int fd = -1;
  if (!path.empty()) {
    fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un at = {};
    at.sun_family = AF_UNIX;
    strncpy(at.sun_path, path.c_str(), sizeof at.sun_path - 1);
    unlink(path.c_str());
    if (bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) return -1;
  } else {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at = {};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof at;
    if (bind(fd, reinterpret_cast<sockaddr*>(&at), size) != 0) return -1;
    getsockname(fd, reinterpret_cast<sockaddr*>(&at), &size);
    *port = ntohs(at.sin_port);
  }
  return listen(fd, 1) == 0 ? fd : -1;
}

// Takes one connection, reads the whole request into *request (its head
// and the Content-Length bytes after it), then answers `answer` (none when
// empty: the connection is held until the client goes).
void serve_once(int listener, const std::string& answer, std::string* request) {
  int fd = accept(listener, nullptr, nullptr);
  char buf[4096];
  for (;;) {
    size_t head = request->find("\r\n\r\n");
    if (head != std::string::npos) {
      size_t length_at = request->find("Content-Length: ");
      size_t want = length_at < head ? strtoul(request->c_str() + length_at + 16, nullptr, 10) : 0;
      if (request->size() >= head + 4 + want) break;
    }
    ssize_t got = read(fd, buf, sizeof buf);
    if (got <= 0) break;
    request->append(buf, static_cast<size_t>(got));
  }
  if (!answer.empty()) {
    ssize_t sent = write(fd, answer.data(), answer.size());
    (void)sent;
  } else {
    while (read(fd, buf, sizeof buf) > 0) {
    }
  }
  close(fd);
}

TEST(HttpExchange, SendsTheRequestAndReadsTheAnswerOverTcpOrAUnixSocket) {
  const std::string socket_path = "/tmp/quillon-http-" + std::to_string(getpid());
  const HttpHeader accept = {"Accept", "application/json"};
  const struct {
    bool unix_socket;
    const char* method;
    const char* body;  // null: none
    std::string request;  // with PORT for the listener's port
  } cases[] = {
      {true, "POST", "a=b",
       "POST /checkv2?x=1 HTTP/1.1\r\nHost: localhost\r\nUser-Agent: QUILLON/1.0v\r\n"
       "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 3\r\n"
       "Accept: application/json\r\nConnection: close\r\n\r\na=b"},
      {false, "GET", nullptr,
       "GET /checkv2?x=1 HTTP/1.1\r\nHost: 127.0.0.1:PORT\r\nUser-Agent: QUILLON/1.0v\r\n"
       "Accept: application/json\r\nConnection: close\r\n\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method);
    int port = 0;
    int listener = listen_on(c.unix_socket ? socket_path : "", &port);
    ASSERT_GE(listener, 0);
    std::string seen;
    std::thread server(serve_once, listener,
                       "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                       "Content-Length: 2\r\n\r\n{}",
                       &seen);
    const std::string url = c.unix_socket ? "http://localhost/checkv2?x=1"
                                          : "http://127.0.0.1:" + std::to_string(port) +
                                                "/checkv2?x=1";
    HttpRequest request;
    request.method = c.method;
    request.url = url.c_str();
    request.unix_socket = c.unix_socket ? socket_path.c_str() : nullptr;
    request.content_type = "application/x-www-form-urlencoded";
    request.body = c.body;
    request.body_length = c.body != nullptr ? strlen(c.body) : 0;
    request.headers = &accept;
    request.header_count = 1;
    request.timeout_seconds = 5;
    HttpResult result;
    EXPECT_TRUE(http_exchange(request, &result)) << result.error;
    server.join();
    close(listener);
    std::string want = c.request;
    size_t at = want.find("PORT");
    if (at != std::string::npos) want.replace(at, 4, std::to_string(port));
    EXPECT_EQ(want, seen);
    EXPECT_EQ(200, result.answer.status);
    ASSERT_NE(nullptr, result.answer.body);
    EXPECT_STREQ("{}", result.answer.body->data);
    EXPECT_STREQ("application/json", result.answer.content_type);
    http_result_free(&result);
  }
  unlink(socket_path.c_str());
}

TEST(HttpExchange, EndsAtTheEarlierOfTimeoutAndDeadline) {
  int port = 0;
  int listener = listen_on("", &port);
  ASSERT_GE(listener, 0);
  std::string seen;
  std::thread server(serve_once, listener, "", &seen);
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
  HttpRequest request;
  request.url = url.c_str();
  request.timeout_seconds = 30;
  long long start = os_monotonic_ms();
  request.deadline_ms = start + 1000;
  HttpResult result;
  EXPECT_FALSE(http_exchange(request, &result));
  EXPECT_STREQ("timed out after 1 s", result.error);
  EXPECT_LT(os_monotonic_ms() - start, 3000);
  server.join();
  close(listener);
}

TEST(HttpExchange, RefusesAHeaderThatWouldEndItsLine) {
  const HttpHeader injected = {"X-Tag", "a\r\nX-Injected: 1"};
  HttpRequest request;
  request.url = "http://127.0.0.1:9/";
  request.headers = &injected;
  request.header_count = 1;
  HttpResult result;
  EXPECT_FALSE(http_exchange(request, &result));
  EXPECT_STREQ("request header value is not one line", result.error);
}

TEST(HttpExchange, NamesTheSocketPathNothingListensOn) {
  HttpRequest request;
  request.url = "http://localhost/";
  request.unix_socket = "/nonexistent/quillon.sock";
  request.timeout_seconds = 1;
  HttpResult result;
  EXPECT_FALSE(http_exchange(request, &result));
  EXPECT_STREQ("connection to /nonexistent/quillon.sock failed (error 2)", result.error);
}

}  // namespace
