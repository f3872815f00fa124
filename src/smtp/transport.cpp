#include "smtp/transport.h"

#include <cstdio>
#include <cstring>

#include "base/log.h"
#include "config/settings.h"
#include "platform/os.h"

SmtpConnection g_smtp = {kNoSocket, false, kDefaultSmtpTimeout, {0}, 0, false};

namespace {

constexpr int kTimedOutCode = 10060;  // WSAETIMEDOUT

struct WsockMessage {
  int code;
  const char* text;
};

// What follows "wsock: (<context>) " for each Windows Sockets error code.
const WsockMessage kWsockMessages[] = {
    {10004, "The (blocking) call was canceled via WSACancelBlockingCall.\n"},
    {10013,
     "The requested address is a broadcast address, but the appropriate flag "
     "was not set.\n"},
    {10014,
     "The buf argument is not in a valid part of the user address space.\n"},
    {10022, "The socket has not been bound with bind.\n"},
    {10035,
     "The socket is marked as non-blocking and the requested operation would "
     "block.\n"},
    {10036, "A blocking Windows Sockets operation is in progress.\n"},
    {10038, "The descriptor is not a socket.\n"},
    {10039, "DestAddrReq\n"},
    {10040,
     "The socket is of type SOCK_DGRAM, and the datagram is larger than the "
     "maximum supported by the Windows Sockets implementation.\n"},
    {10045, "MSG_OOB was specified, but the socket is not of type "
            "SOCK_STREAM.\n"},
    {10048, "Address in use\n"},
    {10049, "Address not avail\n"},
    {10050,
     "The Windows Sockets implementation has detected that the network "
     "subsystem has failed.\n"},
    {10051, "Network Unreachable\n"},
    {10052,
     "The connection must be reset because the Windows Sockets "
     "implementation dropped it.\n"},
    {10053,
     "The virtual circuit was aborted due to timeout or other failure.\n"},
    {10054, "The virtual circuit was reset by the remote side.\n"},
    {10055,
     "The Windows Sockets implementation reports a buffer deadlock.\n"},
    {10057, "The socket is not connected.\n"},
    {10058,
     "The socket has been shutdown; it is not possible to sendln on a socket "
     "after shutdown has been invoked with how set to 1 or 2.\n"},
    {10059, "Too many refs.\n"},
    {10060, "Timedout\n"},
    {10061, "Connection Refused\n"},
    {10063, "Name too long\n"},
    {10064, "Host down\n"},
    {10065, "Host Unreachable\n"},
    {10066, "Not Empty\n"},
    {10093, "A successful WSAStartup must occur before using this API.\n"},
};

const char* line_ending() {
  const char* ending = g_settings.email_line_ending;
  return ending != nullptr ? ending : "\n";
}

// A reply line ends its reply unless its fourth character is '-'. Lines too
// short to have one ("250" or less) end it as well.
bool is_final_line(const char* line, int length) {
  return length < 4 || line[3] != '-';
}

int reply_code(const char* line, int length) {
  if (length < 3) return 0;
  int code = 0;
  for (int i = 0; i < 3; ++i) {
    if (line[i] < '0' || line[i] > '9') return 0;
    code = code * 10 + (line[i] - '0');
  }
  return code;
}

// Reads up to and including the final line of one reply, logging each line.
// What arrived after that line is kept in g_smtp.pending, so the next read
// sees the next reply whole. Returns 1 with *code set, or 0 on failure.
int read_reply(bool greeting, int* code) {
  char buf[kReplyBufferSize + 1];
  int length = g_smtp.pending_length;
  memcpy(buf, g_smtp.pending, static_cast<size_t>(length));
  buf[length] = '\0';
  g_smtp.pending_length = 0;
  int sock = static_cast<int>(g_smtp.socket);
  int scan = 0;  // start of the first line not yet taken
  int base = 0;  // bytes already moved out of buf, so positions keep counting

  for (;;) {
    const void* found;
    while ((found = memchr(buf + scan, '\n',
                           static_cast<size_t>(length - scan))) != nullptr) {
      int end = static_cast<int>(static_cast<const char*>(found) - buf);
      buf[end] = '\0';
      const char* line = buf + scan;
      if (greeting) {
        log_event(LOG_DEBUG, "RECV(%d): {%s}\n", sock, line);
      } else {
        log_event(LOG_DEBUG, "RECV(%d):[%d] {%s}\n", sock, base + end, line);
      }
      bool final = is_final_line(line, end - scan);
      int line_code = reply_code(line, end - scan);
      scan = end + 1;
      if (final) {
        g_smtp.pending_length = length - scan;
        memcpy(g_smtp.pending, buf + scan,
               static_cast<size_t>(g_smtp.pending_length));
        if (code != nullptr) *code = line_code;
        return 1;
      }
    }
    // Keep only the incomplete line, so a long multi-line reply still fits.
    if (scan > 0) {
      memmove(buf, buf + scan, static_cast<size_t>(length - scan));
      base += scan;
      length -= scan;
      scan = 0;
    }
    if (length >= kReplyBufferSize) {
      log_event(LOG_ERROR, "TCPdoread failed: no line end within %d bytes\n",
                kReplyBufferSize);
      return 0;
    }
    int got = net_recv(g_smtp.socket, buf + length, kReplyBufferSize - length,
                       g_smtp.timeout_seconds);
    if (got <= 0) {
      if (got < 0 && net_last_error() == kTimedOutCode) g_smtp.timed_out = true;
      wsock_error("TCPdoread failed");
      return 0;
    }
    length += got;
    buf[length] = '\0';
  }
}

}  // namespace

void TCPstartup() {
  int version = 0;
  if (net_startup(&version) != 0) {
    log_event(LOG_ERROR, "No winsock found of correct version\n");
    return;
  }
  if ((version & 0xff) != 1 || ((version >> 8) & 0xff) != 1) {
    log_event(LOG_ERROR,
              "*** Error *** No winsock found of correct version, trying to "
              "continue\n");
  }
}

OsSocket TCPconnect(char* host, int port) {
  for (char* p = host; *p != '\0'; ++p) {
    if (*p >= 'A' && *p <= 'Z') *p = static_cast<char>(*p - 'A' + 'a');
  }
  g_smtp.pending_length = 0;
  g_smtp.timed_out = false;

  std::uint32_t addr = 0;
  int family = net_af_inet();
  // Only the first character decides: "1nternal.example" is taken as an
  // address and fails at the connect step.
  if (host[0] >= '0' && host[0] <= '9') {
    addr = net_inet_addr(host);
  } else if (!net_resolve(host, &addr, &family)) {
    return kNoSocket;  // the dialogue says that the server did not respond
  }

  OsSocket sock = net_socket(family);
  if (sock == kNoSocket) {
    char message[200];
    snprintf(message, sizeof message, "*** Error *** Can't connect to {%s}",
             host);
    wsock_error(message);
    return kNoSocket;
  }
  if (net_connect(sock, family, addr, port, g_smtp.timeout_seconds) != 0) {
    wsock_error(host);
    return kNoSocket;
  }
  return sock;
}

int TCPwrite(OsSocket sock, const char* data, int size) {
  if (size == 0) return 0;
  if (sock == kNoSocket) return -1;
  int sent = 0;
  while (sent < size) {
    int n = net_send(sock, data + sent, size - sent, g_smtp.timeout_seconds);
    if (n <= 0) {
      wsock_error("Socket Error, could not write.");
      return -1;
    }
    log_event(LOG_DEBUG, "SENT(%d): (%d/%d bytes) {%s}", static_cast<int>(sock),
              n, size, data + sent);
    sent += n;
    if (sent < size) os_sleep_ms(100);
  }
  return sent;
}

void sendr(const char* line) {
  log_event(LOG_DEBUG, "SEND(%d): {%s\n}\n", static_cast<int>(g_smtp.socket),
            line);
  int length = static_cast<int>(strlen(line));
  if (length > 0 && TCPwrite(g_smtp.socket, line, length) != length) {
    wsock_error("TCPwrite failed in sendr(1)");
  }
  const char* ending = line_ending();
  int ending_length = static_cast<int>(strlen(ending));
  if (TCPwrite(g_smtp.socket, ending, ending_length) != ending_length) {
    wsock_error("TCPwrite failed in sendr(2)");
  }
}

void TCPdoread_greeting() { (void)read_reply(/*greeting=*/true, nullptr); }

int TCPdoread(int* code) {
  int ignored = 0;
  if (code == nullptr) code = &ignored;
  *code = 0;
  return read_reply(/*greeting=*/false, code);
}

void wsock_error(const char* context) {
  int code = net_last_error();
  if (code == 0) return;  // as after a receive that found the peer closed
  const char* text = wsock_message_text(code);
  if (text != nullptr) {
    log_event(LOG_ERROR, "wsock: (%s) %s", context, text);
  } else {
    log_event(LOG_ERROR, "wsock: (%s) Socket Unkown error code %d \n", context,
              code);
  }
}

const char* wsock_message_text(int code) {
  for (const WsockMessage& entry : kWsockMessages) {
    if (entry.code == code) return entry.text;
  }
  return nullptr;
}

void smtp_connection_reset() {
  g_smtp.socket = kNoSocket;
  g_smtp.winsock_started = false;
  g_smtp.timeout_seconds = kDefaultSmtpTimeout;
  g_smtp.pending_length = 0;
  g_smtp.timed_out = false;
}
