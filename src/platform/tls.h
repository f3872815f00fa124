#pragma once
// A TLS client session over an already connected socket. Defined once in
// tls_posix.cpp (OpenSSL, loaded at run time so that a run without TLS pays
// nothing for it) and once in tls_win32.cpp (SChannel, with the certificate
// chain and host name checked by the program itself through crypt32).
//
// What every session does: TLS 1.2 at least, SNI with `host`, the chain must
// lead to a root of the system's store or of `ca_file`, and `host` must match
// the certificate (a DNS name, or an IP address for a dotted host).
//
// Rules both halves keep:
// - Arguments: a null session, a null buffer with a length, a negative length
//   (or, for tls_recv, none) gives -1 with net_last_error() 10022
//   (WSAEINVAL); tls_start without a host gives null with a reason; `error`
//   may be null. tls_close and tls_description take null.
// - Allocation: calloc/malloc/realloc and free only, no new, no containers
//   and no C++ library strings: the program does without the C++ runtime
//   library. Memory that runs out is a failure of the call ("out of memory",
//   or -1 with 10055 WSAENOBUFS), never the end of the process.

#include "platform/net.h"

struct TlsSession;  // opaque; lives until the process ends or tls_close

constexpr int kTlsErrorSize = 300;

// Runs the client handshake on `sock`, waiting at most timeout_seconds for
// it as a whole. `ca_file` (PEM, may be null, may hold several certificates)
// adds trusted roots. Takes nothing but TLS records from the socket, so it
// can follow STARTTLS. Returns the session, or null with a one-line reason
// in `error` (kTlsErrorSize bytes): it names what failed, e.g. "certificate
// not trusted", "certificate name does not match <host>", "certificate
// expired", "protocol version refused (TLS 1.2 at least)", "handshake timed
// out", "connection closed during handshake", "CA file cannot be read:
// <path>", "TLS library not available (...)", or the library's own words.
// net_last_error() is then 10060 after a time-out, the socket's error after
// a socket failure, and 0 for a refusal.
TlsSession* tls_start(OsSocket sock, const char* host, const char* ca_file,
                      int timeout_seconds, char* error);

// One write of at most len bytes of application data. Returns the bytes
// taken (all of them, or -1), with net_last_error() set on failure (10060
// after a time-out).
int tls_send(TlsSession* session, const char* data, int len,
             int timeout_seconds);

// One read of at most len bytes of application data. Returns the bytes
// read, 0 when the peer closed, or -1 (net_last_error() 10060 after a
// time-out).
int tls_recv(TlsSession* session, char* buf, int len, int timeout_seconds);

// "TLSv1.3 TLS_AES_256_GCM_SHA384": the negotiated protocol and cipher.
const char* tls_description(TlsSession* session);

// Sends close_notify where possible and frees the session (not the socket).
void tls_close(TlsSession* session);
