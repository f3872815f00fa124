// Checks of the Windows platform layer against a real Windows Sockets stack
// and file system. Built by the MinGW build, run under Wine by
// run_cli_tests.sh; prints one line per failure and a closing count.

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <winsock.h>

#include <string>

#include "platform/net.h"
#include "platform/os.h"

static int g_passed = 0;
static int g_failed = 0;

#define CHECK(cond, what)                                       \
  do {                                                          \
    if (cond) {                                                 \
      g_passed++;                                               \
    } else {                                                    \
      g_failed++;                                               \
      printf("FAIL %s: %s (line %d)\n", what, #cond, __LINE__); \
    }                                                           \
  } while (0)

static std::string g_dir;

static std::string temp_path(const char* name) { return g_dir + "\\" + name; }

// The "\\?\" form of an absolute path, which no length limit applies to.
static std::wstring long_path(const std::string& path) {
  return L"\\\\?\\" + std::wstring(path.begin(), path.end());
}

static std::string read_file(const std::string& path) {
  HANDLE file = CreateFileW(long_path(path).c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "<missing>";
  std::string out;
  char chunk[4096];
  DWORD n = 0;
  while (ReadFile(file, chunk, sizeof chunk, &n, nullptr) && n > 0) {
    out.append(chunk, n);
  }
  CloseHandle(file);
  return out;
}

static void write_file(const std::string& path, const char* text) {
  FILE* f = fopen(path.c_str(), "wb");
  fputs(text, f);
  fclose(f);
}

// Removes a folder tree, however deep (hence the wide "\\?\" paths).
static void remove_tree(const std::wstring& dir) {
  WIN32_FIND_DATAW found;
  HANDLE walk = FindFirstFileW((dir + L"\\*").c_str(), &found);
  if (walk != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        remove_tree(dir + L"\\" + name);
      } else {
        DeleteFileW((dir + L"\\" + name).c_str());
      }
    } while (FindNextFileW(walk, &found));
    FindClose(walk);
  }
  RemoveDirectoryW(dir.c_str());
}

static void check_append_text() {
  using namespace std::string_literals;
  static const struct {
    const char* name;
    std::string data;
    std::string stored;
  } kCases[] = {
      {"one line", "a line\n", "a line\r\n"},
      {"empty lines", "\n\n", "\r\n\r\n"},
      {"no line end", "tail", "tail"},
      {"nothing", "", ""},
      // A text-mode stream turns the LF of a CR LF into CR LF as well.
      {"CR LF in message", "a\r\nb\n", "a\r\r\nb\r\n"},
      {"NUL kept", "a\0b\n"s, "a\0b\r\n"s},
  };
  int i = 0;
  for (const auto& c : kCases) {
    std::string path = temp_path(("append" + std::to_string(i++)).c_str());
    CHECK(os_append_text(path.c_str(), c.data.data(), c.data.size()), c.name);
    CHECK(read_file(path) == c.stored, c.name);
  }

  // Lines add up, and a text past the stack buffer takes the heap path.
  std::string path = temp_path("append-long");
  std::string big;
  std::string big_stored;
  for (int n = 0; n < 3000; n++) {
    big += "line\n";
    big_stored += "line\r\n";
  }
  CHECK(os_append_text(path.c_str(), "first\n", 6), "long");
  CHECK(os_append_text(path.c_str(), big.data(), big.size()), "long");
  CHECK(read_file(path) == "first\r\n" + big_stored, "long text stored whole");

  CHECK(!os_append_text(temp_path("no-such-dir\\x.log").c_str(), "x\n", 2),
        "missing directory reported");

  // A log deeper than MAX_PATH, in a folder the ANSI calls cannot reach.
  std::string deep = g_dir;
  for (int n = 0; n < 3; n++) {
    deep += "\\" + std::string(120, 'd');
    CreateDirectoryW(long_path(deep).c_str(), nullptr);
  }
  std::string deep_log = deep + "\\quillon.log";
  CHECK(os_append_text(deep_log.c_str(), "deep\n", 5), "long path opened");
  CHECK(os_append_text(deep_log.c_str(), "er\n", 3), "long path appended");
  CHECK(read_file(deep_log) == "deep\r\ner\r\n", "long path content");

  // Logging a socket failure must not change the code the next report reads.
  net_set_last_error(WSAECONNRESET);
  os_append_text(path.c_str(), "x\n", 2);
  CHECK(net_last_error() == WSAECONNRESET, "error kept after append");
  os_append_text(temp_path("no-such-dir\\x.log").c_str(), "x\n", 2);
  CHECK(net_last_error() == WSAECONNRESET, "error kept after failed append");
  net_set_last_error(0);
}

static void check_write_text_file() {
  std::string path = temp_path("written.txt");
  CHECK(os_write_text_file(path.c_str(), "one\ntwo\n", 8, false, false) == kOsWriteOk,
        "new file written");
  CHECK(read_file(path) == "one\r\ntwo\r\n", "text line ends");
  CHECK(os_write_text_file(path.c_str(), "x\n", 2, false, false) == kOsOpenFailed &&
            errno == EEXIST,
        "existing file refused");
  CHECK(read_file(path) == "one\r\ntwo\r\n", "refused file unchanged");
  CHECK(os_write_text_file(path.c_str(), "x\n", 2, true, true) == kOsWriteOk,
        "existing file replaced");
  CHECK(read_file(path) == "x\r\n", "old content gone");
  CHECK(os_write_text_file(temp_path("no-such-dir\\x").c_str(), "x", 1, true, true) ==
                kOsOpenFailed &&
            errno == ENOENT,
        "missing directory reported");
}

// Standard input from a pipe: bytes as they come, a time limit while none
// come, the end once the writer has gone.
static void check_read_stdin() {
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  CHECK(CreatePipe(&read_end, &write_end, nullptr, 0), "pipe");
  HANDLE saved = GetStdHandle(STD_INPUT_HANDLE);
  SetStdHandle(STD_INPUT_HANDLE, read_end);
  DWORD n = 0;
  WriteFile(write_end, "abcde", 5, &n, nullptr);
  char buf[16] = {0};
  long long deadline = os_monotonic_ms() + 5000;
  CHECK(os_read_stdin(buf, 3, deadline) == 3 && memcmp(buf, "abc", 3) == 0, "first bytes");
  CHECK(os_read_stdin(buf, sizeof buf, deadline) == 2 && memcmp(buf, "de", 2) == 0,
        "the rest");
  long long started = os_monotonic_ms();
  CHECK(os_read_stdin(buf, sizeof buf, started + 300) == kOsReadTimedOut, "time-out");
  long long waited = os_monotonic_ms() - started;
  CHECK(waited >= 290 && waited < 3000, "waited for the limit");
  CloseHandle(write_end);
  CHECK(os_read_stdin(buf, sizeof buf, os_monotonic_ms() + 5000) == kOsReadEnd, "end");
  SetStdHandle(STD_INPUT_HANDLE, saved);
  CloseHandle(read_end);
}

constexpr int kWriters = 6;
constexpr int kLinesEach = 100;
constexpr size_t kLineLength = 4000;

// The child side of check_concurrent_appends: many long lines of one letter.
static int append_lines(const char* path, char letter) {
  std::string line(kLineLength, letter);
  line += "\n";
  for (int n = 0; n < kLinesEach; n++) {
    os_append_text(path, line.data(), line.size());
  }
  return 0;
}

// Several processes appending at once: every line must arrive, and whole.
static void check_concurrent_appends(const char* self) {
  std::string path = temp_path("shared.log");
  PROCESS_INFORMATION children[kWriters];
  for (int k = 0; k < kWriters; k++) {
    std::string cmd = "\"" + std::string(self) + "\" append-child \"" + path +
                      "\" " + static_cast<char>('a' + k);
    STARTUPINFOA start = {};
    start.cb = sizeof start;
    CHECK(CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr,
                         nullptr, &start, &children[k]),
          "writer started");
  }
  for (auto& child : children) {
    WaitForSingleObject(child.hProcess, INFINITE);
    CloseHandle(child.hProcess);
    CloseHandle(child.hThread);
  }
  std::string all = read_file(path);
  int whole = 0;
  int broken = 0;
  size_t pos = 0;
  while (pos < all.size()) {
    size_t end = all.find("\r\n", pos);
    if (end == std::string::npos) end = all.size();
    std::string line = all.substr(pos, end - pos);
    if (line.size() == kLineLength &&
        line.find_first_not_of(line[0]) == std::string::npos) {
      whole++;
    } else {
      broken++;
    }
    pos = end + 2;
  }
  CHECK(broken == 0, "no line split by another writer");
  CHECK(whole == kWriters * kLinesEach, "no line lost");
}

static void check_rename() {
  std::string from = temp_path("quillon.zip");
  std::string to = temp_path("quillon10v.zip");
  write_file(from, "old");
  CHECK(os_rename_noreplace(from.c_str(), to.c_str()) == 0, "rename");
  CHECK(read_file(to) == "old" && read_file(from) == "<missing>", "renamed");

  write_file(from, "new");
  CHECK(os_rename_noreplace(from.c_str(), to.c_str()) == EEXIST,
        "existing target refused");
  CHECK(read_file(from) == "new" && read_file(to) == "old",
        "both files unchanged");

  CHECK(os_rename_noreplace(temp_path("absent").c_str(),
                            temp_path("absent2").c_str()) == ENOENT,
        "missing source");
}

// A listening socket on 127.0.0.1 with a port of the system's choosing.
// The rate limit's state file: locked against a second holder (a handle
// of its own, as another process would have), rewritten in place, shorter
// content cutting the file.
static void check_locked_file() {
  std::string path = temp_path("quillon.rate");
  OsLockedFile first;
  OsLockedFile second;
  CHECK(os_locked_open(path.c_str(), 1000, &first) == 0, "locked file created");
  DWORD started = GetTickCount();
  CHECK(os_locked_open(path.c_str(), 200, &second) == EWOULDBLOCK, "second holder waits");
  DWORD waited = GetTickCount() - started;
  CHECK(waited >= 150 && waited < 2000, "wait bounded");
  CHECK(os_locked_rewrite(&first, "0123456789", 10) == 0, "rewrite");
  CHECK(read_file(path) == "0123456789", "readable while locked");
  CHECK(os_locked_rewrite(&first, "abc", 3) == 0, "shorter rewrite");
  char data[16];
  CHECK(os_locked_read(&first, data, sizeof data) == 3 && memcmp(data, "abc", 3) == 0,
        "file cut after the content");
  os_locked_close(&first);
  CHECK(os_locked_open(path.c_str(), 200, &second) == 0, "lock free after close");
  os_locked_close(&second);
  CHECK(os_locked_open(g_dir.c_str(), 200, &second) != 0, "a folder is refused");
  unsigned char a[16] = {};
  unsigned char b[16] = {};
  CHECK(os_random_bytes(a, sizeof a) && os_random_bytes(b, sizeof b) &&
            memcmp(a, b, sizeof a) != 0,
        "random bytes");
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

static std::uint32_t loopback() { return inet_addr("127.0.0.1"); }

static void check_connect_and_transfer() {
  int port = 0;
  SOCKET server = listen_local(&port);

  OsSocket client = net_socket(net_af_inet());
  CHECK(client != kNoSocket, "socket");
  // The port is taken modulo 65536.
  CHECK(net_connect(client, net_af_inet(), loopback(), port + 65536, 5) == 0,
        "connect with time limit");
  CHECK(net_last_error() == 0, "no error after connect");
  SOCKET peer = accept(server, nullptr, nullptr);

  SOCKET raw = static_cast<SOCKET>(client);
  BOOL nodelay = FALSE;
  int size = sizeof nodelay;
  getsockopt(raw, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&nodelay),
             &size);
  CHECK(nodelay != FALSE, "TCP_NODELAY set");

  CHECK(net_send(client, "EHLO x\r\n", 8, 5) == 8, "send");
  char buf[64] = {0};
  CHECK(
      recv(peer, buf, sizeof buf, 0) == 8 && memcmp(buf, "EHLO x\r\n", 8) == 0,
      "server got the bytes");
  send(peer, "250 ok\r\n", 8, 0);
  memset(buf, 0, sizeof buf);
  CHECK(net_recv(client, buf, sizeof buf, 5) == 8 &&
            strcmp(buf, "250 ok\r\n") == 0,
        "recv");

  // A silent server: the bounded wait ends with the time-out code.
  CHECK(net_recv(client, buf, sizeof buf, 1) == -1, "silent server");
  CHECK(net_last_error() == WSAETIMEDOUT, "time-out code");

  // The bounded connect must leave the socket blocking: a plain recv then
  // waits (here for its own receive limit) instead of failing at once.
  DWORD limit_ms = 300;
  setsockopt(raw, SOL_SOCKET, SO_RCVTIMEO,
             reinterpret_cast<const char*>(&limit_ms), sizeof limit_ms);
  CHECK(recv(raw, buf, sizeof buf, 0) == SOCKET_ERROR &&
            WSAGetLastError() != WSAEWOULDBLOCK,
        "socket back in blocking mode");

  closesocket(peer);
  CHECK(net_recv(client, buf, sizeof buf, 5) == 0, "peer closed");
  CHECK(net_last_error() == 0, "no error code after an orderly close");

  closesocket(server);
}

static void check_refused() {
  int port = 0;
  SOCKET gone = listen_local(&port);
  closesocket(gone);
  for (int limit : {5, 0}) {
    OsSocket client = net_socket(net_af_inet());
    CHECK(net_connect(client, net_af_inet(), loopback(), port, limit) == -1,
          limit ? "refused, bounded" : "refused, unbounded");
    CHECK(net_last_error() == WSAECONNREFUSED,
          limit ? "10061, bounded" : "10061, unbounded");
  }
}

// Where the system has Unix-domain sockets and where it has none alike, a
// path nothing listens on and one too long fail with a code, never a socket.
static void check_unix_socket_fails() {
  std::string missing = temp_path("none.sock");
  CHECK(net_unix_connect(missing.c_str(), 2) == kNoSocket, "no unix socket listening");
  CHECK(net_last_error() != 0, "a code for the missing unix socket");
  std::string long_name(200, 'x');
  CHECK(net_unix_connect(long_name.c_str(), 2) == kNoSocket, "unix socket path too long");
  CHECK(net_last_error() == WSAENAMETOOLONG, "10063 for the long path");
}

int main(int argc, char** argv) {
  if (argc == 4 && strcmp(argv[1], "append-child") == 0) {
    return append_lines(argv[2], argv[3][0]);
  }
  char base[MAX_PATH];
  GetTempPathA(sizeof base, base);
  g_dir = std::string(base) + "quillon-check-" + std::to_string(os_pid());
  remove_tree(long_path(g_dir));  // left over by an earlier run with this id
  CreateDirectoryA(g_dir.c_str(), nullptr);

  int version = 0;
  CHECK(net_startup(&version) == 0, "startup");
  CHECK(version == 0x0101, "version 1.1 granted");

  check_append_text();
  check_concurrent_appends(argv[0]);
  check_rename();
  check_locked_file();
  check_write_text_file();
  check_read_stdin();
  check_connect_and_transfer();
  check_refused();
  check_unix_socket_fails();

  remove_tree(long_path(g_dir));
  printf("%d passed, %d failed\n", g_passed, g_failed);
  return g_failed == 0 ? 0 : 1;
}
