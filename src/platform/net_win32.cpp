#include "platform/net.h"

// Windows Sockets 1.1 only, so that the program runs against WSOCK32 on
// every Windows there is; winsock2.h would pull in WS2_32.
#include <string.h>
#include <winsock.h>

int net_startup(int* version) {
  WSADATA data;
  int rc = WSAStartup(MAKEWORD(1, 1), &data);
  // The caller checks the granted version and logs a mismatch itself.
  if (rc == 0) *version = data.wVersion;
  return rc;
}

bool net_resolve(const char* host, std::uint32_t* addr, int* family) {
  const struct hostent* entry = gethostbyname(host);
  if (entry == nullptr || entry->h_addr_list[0] == nullptr) return false;
  std::uint32_t first = 0;
  size_t size = entry->h_length > 0 ? static_cast<size_t>(entry->h_length) : 0;
  memcpy(&first, entry->h_addr_list[0],
         size < sizeof first ? size : sizeof first);
  *addr = first;
  *family = entry->h_addrtype;
  return true;
}

std::uint32_t net_inet_addr(const char* text) {
  return static_cast<std::uint32_t>(inet_addr(text));
}

int net_af_inet() { return AF_INET; }

OsSocket net_socket(int family) {
  WSASetLastError(0);
  SOCKET sock = socket(family, SOCK_STREAM, 0);
  if (sock == INVALID_SOCKET) return kNoSocket;
  return static_cast<OsSocket>(sock);
}

// Waits until `sock` can be read (or written), at most timeout_seconds; a
// limit of 0 or less waits without one. Returns false with the socket error
// set (WSAETIMEDOUT when the time ran out).
static bool wait_ready(SOCKET sock, bool for_write, int timeout_seconds) {
  if (timeout_seconds <= 0) return true;
  fd_set ready;
  FD_ZERO(&ready);
  FD_SET(sock, &ready);
  struct timeval limit;
  limit.tv_sec = timeout_seconds;
  limit.tv_usec = 0;
  int n = for_write ? select(0, nullptr, &ready, nullptr, &limit)
                    : select(0, &ready, nullptr, nullptr, &limit);
  if (n == 0) WSASetLastError(WSAETIMEDOUT);
  return n > 0;
}

// Connects in non-blocking mode so that select can bound the wait, then
// puts the socket back into blocking mode for the rest of the dialogue.
static int connect_bounded(SOCKET sock, const struct sockaddr* where, int where_size,
                           int timeout_seconds) {
  u_long nonblocking = 1;
  if (ioctlsocket(sock, FIONBIO, &nonblocking) != 0) return -1;
  int error = 0;
  if (connect(sock, where, where_size) != 0) error = WSAGetLastError();
  if (error == WSAEWOULDBLOCK) {
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(sock, &writable);
    FD_SET(sock, &failed);
    struct timeval limit;
    limit.tv_sec = timeout_seconds;
    limit.tv_usec = 0;
    int n = select(0, nullptr, &writable, &failed, &limit);
    if (n == 0) {
      error = WSAETIMEDOUT;
    } else if (n < 0) {
      error = WSAGetLastError();
    } else if (FD_ISSET(sock, &failed)) {
      // A refused or unreachable peer shows up here, its reason in SO_ERROR.
      int reason = 0;
      int size = sizeof reason;
      getsockopt(sock, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&reason),
                 &size);
      error = reason != 0 ? reason : WSAECONNREFUSED;
    } else {
      error = 0;
    }
  }
  nonblocking = 0;
  ioctlsocket(sock, FIONBIO, &nonblocking);
  WSASetLastError(error);
  return error == 0 ? 0 : -1;
}

// SIO_TCP_SET_ACK_FREQUENCY: _WSAIOW(IOC_VENDOR, 23), from mstcpip.h.
constexpr DWORD kSetAckFrequency = 0x98000017u;

using WsaIoctl = int(WINAPI*)(SOCKET, DWORD, void*, DWORD, void*, DWORD,
                              DWORD*, void*, void*);

// WSAIoctl of WS2_32, looked up on the first connection: importing WS2_32
// would load it into every run, and WSOCK32 has no such call. nullptr when
// the system has none.
static WsaIoctl find_wsa_ioctl() {
  static bool tried = false;
  static WsaIoctl found = nullptr;
  if (tried) return found;
  tried = true;
  // Only the system folder's copy, never one beside the program; where the
  // System32 search flag is unknown (no AddDllDirectory), the full path.
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  HMODULE ws2 = nullptr;
  if (kernel != nullptr &&
      GetProcAddress(kernel, "AddDllDirectory") != nullptr) {
    ws2 = LoadLibraryExA("ws2_32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  } else {
    static const char kName[] = "\\ws2_32.dll";
    char path[MAX_PATH];
    UINT len = GetSystemDirectoryA(path, sizeof path);
    if (len > 0 && len + sizeof kName <= sizeof path) {
      memcpy(path + len, kName, sizeof kName);
      ws2 = LoadLibraryA(path);
    }
  }
  FARPROC proc = ws2 == nullptr ? nullptr : GetProcAddress(ws2, "WSAIoctl");
  // Through void*: a direct cast between function types draws a warning.
  found = reinterpret_cast<WsaIoctl>(reinterpret_cast<void*>(proc));
  return found;
}

// A server that writes each line of a multi-line reply on its own waits for
// the acknowledgement of one line before it sends the next, and Windows
// holds that acknowledgement back for up to 200 ms. Asks for every segment
// to be acknowledged at once where the system allows it; a refusal (older
// systems, Wine) leaves the default, at that cost.
static void acknowledge_every_segment(SOCKET s) {
  WsaIoctl ioctl = find_wsa_ioctl();
  if (ioctl == nullptr) return;
  DWORD frequency = 1;
  DWORD returned = 0;
  ioctl(s, kSetAckFrequency, &frequency, sizeof frequency, nullptr, 0,
        &returned, nullptr, nullptr);
}

int net_connect(OsSocket sock, int family, std::uint32_t addr, int port,
                int timeout_seconds) {
  SOCKET s = static_cast<SOCKET>(sock);
  struct sockaddr_in where;
  memset(&where, 0, sizeof where);
  where.sin_family = static_cast<short>(family);
  where.sin_port = htons(static_cast<u_short>(port & 0xffff));
  where.sin_addr.s_addr = addr;
  WSASetLastError(0);
  if (timeout_seconds > 0) {
    if (connect_bounded(s, reinterpret_cast<const struct sockaddr*>(&where), sizeof where,
                        timeout_seconds) != 0) {
      return -1;
    }
  } else if (connect(s, reinterpret_cast<const struct sockaddr*>(&where),
                     sizeof where) != 0) {
    return -1;
  }
  // SMTP commands are short lines that each wait for a reply: send them at
  // once instead of holding them back for more data.
  BOOL on = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
             sizeof on);
  acknowledge_every_segment(s);
  WSASetLastError(0);
  return 0;
}

// sockaddr_un as afunix.h gives it (Windows 10 version 1803 and later);
// written out here because not every MinGW-w64 has the header.
struct UnixAddress {
  u_short sun_family;
  char sun_path[108];
};

OsSocket net_unix_connect(const char* path, int timeout_seconds) {
  UnixAddress where;
  memset(&where, 0, sizeof where);
  where.sun_family = AF_UNIX;
  size_t length = path != nullptr ? strlen(path) : 0;
  if (length == 0 || length >= sizeof where.sun_path) {
    WSASetLastError(length == 0 ? WSAEINVAL : WSAENAMETOOLONG);
    return kNoSocket;
  }
  memcpy(where.sun_path, path, length);
  WSASetLastError(0);
  SOCKET s = socket(AF_UNIX, SOCK_STREAM, 0);
  // Older systems refuse the family; say so in one number.
  if (s == INVALID_SOCKET) {
    if (WSAGetLastError() == WSAEPROTONOSUPPORT || WSAGetLastError() == WSAESOCKTNOSUPPORT) {
      WSASetLastError(WSAEAFNOSUPPORT);
    }
    return kNoSocket;
  }
  const struct sockaddr* to = reinterpret_cast<const struct sockaddr*>(&where);
  int rc = timeout_seconds > 0 ? connect_bounded(s, to, sizeof where, timeout_seconds)
                               : connect(s, to, sizeof where);
  if (rc != 0) {
    int code = WSAGetLastError();
    closesocket(s);
    WSASetLastError(code);
    return kNoSocket;
  }
  WSASetLastError(0);
  return static_cast<OsSocket>(s);
}

int net_send(OsSocket sock, const char* data, int len, int timeout_seconds) {
  SOCKET s = static_cast<SOCKET>(sock);
  WSASetLastError(0);
  if (!wait_ready(s, /*for_write=*/true, timeout_seconds)) return -1;
  if (timeout_seconds > 0) {
    // select only promises room for some bytes; a blocking send of more
    // than fits would otherwise wait on a stalled server for ever.
    DWORD limit_ms = timeout_seconds < 2000000
                         ? static_cast<DWORD>(timeout_seconds) * 1000u
                         : 2000000000u;
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO,
               reinterpret_cast<const char*>(&limit_ms), sizeof limit_ms);
  }
  int n = send(s, data, len, 0);
  if (n == SOCKET_ERROR) return -1;
  return n;
}

int net_recv(OsSocket sock, char* buf, int len, int timeout_seconds) {
  SOCKET s = static_cast<SOCKET>(sock);
  WSASetLastError(0);
  if (!wait_ready(s, /*for_write=*/false, timeout_seconds)) return -1;
  int n = recv(s, buf, len, 0);
  if (n == SOCKET_ERROR) return -1;
  return n;
}

int net_last_error() { return WSAGetLastError(); }

void net_set_last_error(int code) { WSASetLastError(code); }

void net_close(OsSocket sock) {
  if (sock != kNoSocket) closesocket(static_cast<SOCKET>(sock));
}
