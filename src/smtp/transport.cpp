#include "smtp/transport.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "base/program.h"
#include "platform/os.h"

SmtpConnection g_smtp = {kNoSocket, nullptr, false, kDefaultSmtpTimeoutSeconds,
                         "\n", false, {0}, 0, false, nullptr, 0, 0, nullptr,
                         {"\n", false, kDefaultSmtpTimeoutSeconds, kSmtpPlain,
                          nullptr, nullptr, nullptr, nullptr, nullptr, 0},
                         0, {0}, nullptr, nullptr, 0, 0, nullptr};

namespace {

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

// The time-out that ends a step is the deadline's: one error line per
// exchange names it.
void note_deadline() {
  if (g_smtp.deadline_noted != g_smtp.deadline_ms) {
    g_smtp.deadline_noted = g_smtp.deadline_ms;
    log_event(LOG_ERROR, "the exchange with the SMTP email server reached smtp_deadline (%d s).",
              g_smtp.options.deadline_seconds);
  }
  net_set_last_error(kWsaTimedOut);
}

// The seconds the next step may wait, taken once (0, "no limit" to the
// socket calls, is never passed on); 0 after naming the deadline when none
// are left.
int step_wait() {
  int seconds = smtp_step_seconds();
  if (seconds == 0) note_deadline();
  return seconds;
}

int conn_recv(char* buf, int len) {
  int seconds = step_wait();
  if (seconds == 0) return -1;
  int got = g_smtp.tls != nullptr ? tls_recv(g_smtp.tls, buf, len, seconds)
                                  : net_recv(g_smtp.socket, buf, len, seconds);
  if (got < 0 && net_last_error() == kWsaTimedOut && seconds < g_smtp.timeout_seconds) {
    note_deadline();
  }
  return got;
}

int conn_send(OsSocket sock, TlsSession* tls, const char* data, int len) {
  int seconds = step_wait();
  if (seconds == 0) return -1;
  if (tls != nullptr) return tls_send(tls, data, len, seconds);
  return net_send(sock, data, len, seconds);
}

// Sends all of `data`, tracing each send call with its share and (unless
// `shown` replaces it) the text from where that call started, taken from
// `trace` when there is one: the log's copy of `data` (log_copy_width).
int write_all(OsSocket sock, TlsSession* tls, const char* data, int size,
              const char* shown, const char* trace = nullptr) {
  if (size == 0) return 0;
  if (sock == kNoSocket) return -1;
  int sent = 0;
  while (sent < size) {
    int n = conn_send(sock, tls, data + sent, size - sent);
    if (n <= 0) {
      wsock_error("Socket Error, could not write.");
      return -1;
    }
    const char* from_here = trace != nullptr ? trace : data + sent;
    log_event(LOG_DEBUG, "SENT(%d): (%d/%d bytes) {%s}", static_cast<int>(sock),
              n, size, shown != nullptr ? shown : from_here);
    if (trace != nullptr) {
      for (int i = sent; i < sent + n; ++i) trace += log_copy_width(trace, data[i]);
    }
    sent += n;
    if (sent < size) os_sleep_ms(100);
  }
  return sent;
}

void out_reserve(int more) {
  if (more < 0 || g_smtp.out_length > INT_MAX - 1 - more) {
    fatal_reply(kOutOfMemoryRecord);
  }
  int need = g_smtp.out_length + more + 1;
  if (need <= g_smtp.out_capacity) return;
  int capacity = g_smtp.out_capacity > 0 ? g_smtp.out_capacity : 1024;
  while (capacity < need) capacity = capacity > INT_MAX / 2 ? need : capacity * 2;
  char* grown = static_cast<char*>(realloc(g_smtp.out, static_cast<size_t>(capacity)));
  if (grown == nullptr) fatal_reply(kOutOfMemoryRecord);
  g_smtp.out = grown;
  g_smtp.out_capacity = capacity;
}

// The queue's copy for the SENT trace, kept only while the log writes
// debug lines.
void shown_append(const char* data, int size) {
  if (!log_level_enabled(LOG_DEBUG)) return;
  if (g_smtp.out_shown == nullptr) g_smtp.out_shown = text_buffer_new("");
  text_buffer_append_bytes(g_smtp.out_shown, data, size);
}

void shown_clear() {
  if (g_smtp.out_shown != nullptr) text_buffer_replace(g_smtp.out_shown, "%s", "");
}

void out_append(const char* data, int size) {
  if (size <= 0) return;
  out_reserve(size);
  memcpy(g_smtp.out + g_smtp.out_length, data, static_cast<size_t>(size));
  g_smtp.out_length += size;
  g_smtp.out[g_smtp.out_length] = '\0';
}

// The final line of a reply was read: it is kept for the caller's report of
// the outcome, and the bytes after it wait for the next read.
void finish_reply(const char* line, int line_length, int line_code, const char* rest,
                  int rest_length) {
  int shown = line_length > 0 && line[line_length - 1] == '\r' ? line_length - 1 : line_length;
  g_smtp.last_code = line_code;
  snprintf(g_smtp.last_reply, sizeof g_smtp.last_reply, "%.*s", shown, line);
  g_smtp.pending_length = rest_length;
  memcpy(g_smtp.pending, rest, static_cast<size_t>(rest_length));
}

// Reads up to and including the final line of one reply, logging each line.
// What arrived after that line is kept in g_smtp.pending, so the next read
// sees the next reply whole. Returns 1 with *code set, or 0 on failure.
int read_reply(bool greeting, int* code, ReplyLineFn each_line, void* context) {
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
      int line_length = end - scan;
      bool final = is_final_line(line, line_length);
      int line_code = reply_code(line, line_length);
      if (each_line != nullptr) {
        if (line_length > 0 && line[line_length - 1] == '\r') --line_length;
        each_line(line, line_length, context);
      }
      scan = end + 1;
      if (final) {
        finish_reply(line, line_length, line_code, buf + scan, length - scan);
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
    int got = conn_recv(buf + length, kReplyBufferSize - length);
    if (got <= 0) {
      if (got < 0 && net_last_error() == kWsaTimedOut) g_smtp.timed_out = true;
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

void smtp_start_deadline() {
  int seconds = g_smtp.options.deadline_seconds;
  g_smtp.deadline_ms = seconds > 0 ? os_monotonic_ms() + seconds * 1000LL : 0;
}

int smtp_step_seconds() {
  if (g_smtp.deadline_ms == 0) return g_smtp.timeout_seconds;
  // Whole seconds, rounded to the nearest: a step outlasts the deadline by
  // half a second at most, and under half a second left is none.
  long long left = (g_smtp.deadline_ms - os_monotonic_ms() + 500) / 1000;
  if (left <= 0) return 0;
  return left < g_smtp.timeout_seconds ? static_cast<int>(left) : g_smtp.timeout_seconds;
}

OsSocket TCPconnect(char* host, int port) {
  for (char* p = host; *p != '\0'; ++p) *p = ascii_lower(*p);
  g_smtp.pending_length = 0;
  g_smtp.timed_out = false;
  smtp_start_deadline();

  std::uint32_t addr = 0;
  int family = net_af_inet();
  // Only the first character decides: "1nternal.example" is taken as an
  // address and fails at the connect step.
  if (host[0] >= '0' && host[0] <= '9') {
    addr = net_inet_addr(host);
  } else if (!net_resolve(host, &addr, &family)) {
    log_event(LOG_ERROR, "SMTP email server (%s port %d): the name could not be resolved.", host,
              port);
    return kNoSocket;  // the dialogue says that the server did not respond too
  }

  OsSocket sock = net_socket(family);
  if (sock == kNoSocket) {
    char message[200];
    snprintf(message, sizeof message, "*** Error *** Can't connect to {%s}",
             host);
    wsock_error(message);
    return kNoSocket;
  }
  if (net_connect(sock, family, addr, port, smtp_step_seconds()) != 0) {
    char where[300];
    snprintf(where, sizeof where, "%.253s port %d", host, port);
    wsock_error(where);
    return kNoSocket;
  }
  return sock;
}

int TCPwrite(OsSocket sock, const char* data, int size) {
  return write_all(sock, nullptr, data, size, nullptr);
}

void smtp_set_options(const SmtpOptions& options) {
  g_smtp.line_ending = options.line_ending != nullptr ? options.line_ending : "\n";
  g_smtp.use_helo = options.use_helo;
  g_smtp.timeout_seconds =
      options.timeout_seconds > 0 ? options.timeout_seconds : kDefaultSmtpTimeoutSeconds;
  g_smtp.options = options;
}

void smtp_queue(const char* data, int size) {
  if (size <= 0) return;
  out_append(data, size);
  shown_append(data, size);
}

void smtp_queue_command(const char* line) {
  log_event(LOG_DEBUG, "SEND(%d): {%s\n}\n", static_cast<int>(g_smtp.socket),
            line);
  smtp_queue(line, static_cast<int>(strlen(line)));
  smtp_queue(g_smtp.line_ending, static_cast<int>(strlen(g_smtp.line_ending)));
}

// The wire half of smtp_queue_dot_stuffed, when no copy is traced.
static void queue_dot_stuffed_wire(const char* content) {
  const char* run = content;
  for (const char* p = strchr(content, '.'); p != nullptr; p = strchr(p + 1, '.')) {
    if (p != content && p[-1] != '\n') continue;
    out_append(run, static_cast<int>(p - run));
    out_append(".", 1);
    run = p;
  }
  out_append(run, static_cast<int>(strlen(run)));
}

void smtp_queue_dot_stuffed(const char* content, const char* shown) {
  if (!log_level_enabled(LOG_DEBUG)) {
    queue_dot_stuffed_wire(content);
    return;
  }
  if (shown == nullptr) shown = content;
  const char* run = content;
  const char* shown_run = shown;
  const char* s = shown;  // where the copy stands for *p
  for (const char* p = content; *p != '\0'; ++p) {
    if (*p == '.' && (p == content || p[-1] == '\n')) {
      // The run up to here, then the extra dot; the line's own dot follows
      // with the next run.
      out_append(run, static_cast<int>(p - run));
      shown_append(shown_run, static_cast<int>(s - shown_run));
      smtp_queue(".", 1);
      run = p;
      shown_run = s;
    }
    s += log_copy_width(s, *p);
  }
  out_append(run, static_cast<int>(strlen(run)));
  shown_append(shown_run, static_cast<int>(strlen(shown_run)));
}

static int flush_queue(const char* shown) {
  int size = g_smtp.out_length;
  g_smtp.out_length = 0;
  if (size == 0) return 0;
  const char* trace = g_smtp.out_shown != nullptr ? g_smtp.out_shown->data : nullptr;
  int sent = write_all(g_smtp.socket, g_smtp.tls, g_smtp.out, size, shown, trace);
  shown_clear();
  return sent == size ? 0 : -1;
}

int smtp_flush() { return flush_queue(nullptr); }

void sendr(const char* line) {
  smtp_queue_command(line);
  if (smtp_flush() != 0) wsock_error("TCPwrite failed in sendr(1)");
}

void sendr_masked(const char* line, const char* shown) {
  log_event(LOG_DEBUG, "SEND(%d): {%s\n}\n", static_cast<int>(g_smtp.socket),
            shown);
  smtp_queue(line, static_cast<int>(strlen(line)));
  smtp_queue(g_smtp.line_ending, static_cast<int>(strlen(g_smtp.line_ending)));
  if (flush_queue(shown) != 0) wsock_error("TCPwrite failed in sendr(1)");
}

void TCPdoread_greeting() { (void)read_reply(/*greeting=*/true, nullptr, nullptr, nullptr); }

int TCPdoread(int* code) { return smtp_read_reply(code, nullptr, nullptr); }

int smtp_read_reply(int* code, ReplyLineFn each_line, void* context) {
  int ignored = 0;
  if (code == nullptr) code = &ignored;
  *code = 0;
  return read_reply(/*greeting=*/false, code, each_line, context);
}

void smtp_discard_pending() { g_smtp.pending_length = 0; }

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

void smtp_close() {
  if (g_smtp.tls != nullptr) tls_close(g_smtp.tls);
  g_smtp.tls = nullptr;
  net_close(g_smtp.socket);
  g_smtp.socket = kNoSocket;
  g_smtp.pending_length = 0;
  g_smtp.out_length = 0;
  g_smtp.timed_out = false;
  g_smtp.last_code = 0;
  g_smtp.last_reply[0] = '\0';
}

void smtp_connection_reset() {
  g_smtp.socket = kNoSocket;
  g_smtp.tls = nullptr;
  g_smtp.winsock_started = false;
  g_smtp.timeout_seconds = kDefaultSmtpTimeoutSeconds;
  g_smtp.line_ending = "\n";
  g_smtp.use_helo = false;
  g_smtp.pending_length = 0;
  g_smtp.timed_out = false;
  g_smtp.out_length = 0;
  g_smtp.options = SmtpOptions{"\n", false, kDefaultSmtpTimeoutSeconds, kSmtpPlain,
                               nullptr, nullptr, nullptr, nullptr, nullptr, 0};
  g_smtp.deadline_ms = 0;
  g_smtp.deadline_noted = 0;
  g_smtp.follow_up = nullptr;
  shown_clear();
}
