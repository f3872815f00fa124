#pragma once
// The socket interface the rest of the program sees: blocking IPv4 TCP and
// Unix-domain stream sockets, with errors reported as Windows Sockets error
// numbers (10061 for a refused connection, 10060 for a time-out, ...)
// because those are what the log messages quote. net_posix.cpp maps errno values onto them.

#include <cstdint>

using OsSocket = std::intptr_t;
constexpr OsSocket kNoSocket = -1;

// WSAETIMEDOUT: what every step that ran out of time reports.
constexpr int kWsaTimedOut = 10060;

// Starts the socket library once per process, asking for version 1.1.
// Returns 0 on success and stores the granted version (major in the low byte,
// minor in the high byte, as Windows Sockets does) in *version; non-zero on
// failure. The POSIX half always grants 1.1.
int net_startup(int* version);

// Resolves a host name. Returns true and fills *addr (network byte order)
// and *family on success; false when the name does not resolve.
bool net_resolve(const char* host, std::uint32_t* addr, int* family);

// The address inet_addr() gives for a dotted text (INADDR_NONE, all ones,
// for a malformed one). Not validated further.
std::uint32_t net_inet_addr(const char* text);

// The value of AF_INET on this platform.
int net_af_inet();

// Creates a stream socket of the family. Returns kNoSocket on failure.
OsSocket net_socket(int family);

// Connects to addr:port (port taken modulo 65536), waiting at most
// timeout_seconds. Sets TCP_NODELAY on success. Returns 0, or -1 with the
// error available from net_last_error() (10060 after a time-out).
int net_connect(OsSocket sock, int family, std::uint32_t addr, int port,
                int timeout_seconds);

// Connects a new stream socket to the Unix-domain socket at `path`, waiting
// at most timeout_seconds. The socket is used with net_send, net_recv and
// net_close as a TCP one is. Returns kNoSocket with the error from
// net_last_error() on failure: 10063 for a path too long for the system,
// 10061 when nothing listens there, 10047 (WSAEAFNOSUPPORT) where the
// system has no such sockets (Windows before 10 version 1803), 10060 after
// a time-out; a POSIX errno such as ENOENT passes through as it is.
OsSocket net_unix_connect(const char* path, int timeout_seconds);

// Closes a socket; kNoSocket is allowed and does nothing.
void net_close(OsSocket sock);

// One send() of at most len bytes, waiting at most timeout_seconds for room.
// Returns the bytes accepted, or -1 (10060 after a time-out).
int net_send(OsSocket sock, const char* data, int len, int timeout_seconds);

// One recv() of at most len bytes, waiting at most timeout_seconds. Returns
// the bytes received, 0 when the peer closed, or -1 (10060 after a time-out).
// What was received is acknowledged at once where the system allows it
// (Linux), so a server that holds back the rest of a reply until then does
// not wait for the delayed-acknowledgement timer.
int net_recv(OsSocket sock, char* buf, int len, int timeout_seconds);

// The last socket error of this thread as a Windows Sockets number; 0 when
// the last call did not fail (e.g. recv returned 0 because the peer closed).
// A POSIX errno with no Windows Sockets counterpart is passed through as is.
int net_last_error();

// Sets the value net_last_error() returns (0 to clear it).
void net_set_last_error(int code);

// Parses a numeric address text as inet_pton does: with `ipv6`, into 16
// bytes of `out`; else a dotted IPv4 address (four decimal parts) into 4.
// False for any other text.
bool net_parse_address(const char* text, bool ipv6, unsigned char* out);
