#include "smtp/transport.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "base/program.h"
#include "platform/os.h"

namespace {

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
void note_deadline(SmtpSession* session) {
  if (session->deadline_noted != session->deadline_ms) {
    session->deadline_noted = session->deadline_ms;
    if (session->deadline_ms == session->options.end_by_ms) {
      log_event(LOG_ERROR, "the exchange with the SMTP email server reached the run's deadline.");
    } else {
      log_event(LOG_ERROR, "the exchange with the SMTP email server reached smtp_deadline (%d s).",
                session->options.deadline_seconds);
    }
  }
  net_set_last_error(kWsaTimedOut);
}

// The seconds the next step may wait, taken once (0, "no limit" to the
// socket calls, is never passed on); 0 after naming the deadline when none
// are left.
int step_wait(SmtpSession* session) {
  int seconds = smtp_step_seconds(session);
  if (seconds == 0) note_deadline(session);
  return seconds;
}

int conn_recv(SmtpSession* session, char* buf, int len) {
  int seconds = step_wait(session);
  if (seconds == 0) return -1;
  int got = session->tls != nullptr ? tls_recv(session->tls, buf, len, seconds)
                                  : net_recv(session->socket, buf, len, seconds);
  if (got < 0 && net_last_error() == kWsaTimedOut &&
      seconds < session->options.timeout_seconds) {
    note_deadline(session);
  }
  return got;
}

int conn_send(SmtpSession* session, OsSocket sock, TlsSession* tls, const char* data,
              int len) {
  int seconds = step_wait(session);
  if (seconds == 0) return -1;
  if (tls != nullptr) return tls_send(tls, data, len, seconds);
  return net_send(sock, data, len, seconds);
}

// Sends all of `data`, tracing each send call with its share and (unless
// `shown` replaces it) the text from where that call started, taken from
// `trace` when there is one: the log's copy of `data` (log_copy_width).
int write_all(SmtpSession* session, OsSocket sock, TlsSession* tls, const char* data,
              int size, const char* shown, const char* trace = nullptr) {
  if (size == 0) return 0;
  if (sock == kNoSocket) return -1;
  int sent = 0;
  while (sent < size) {
    int n = conn_send(session, sock, tls, data + sent, size - sent);
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

// The queue's copy for the SENT trace, kept only while the log writes
// debug lines.
void shown_append(SmtpSession* session, const char* data, int size) {
  if (!log_level_enabled(LOG_DEBUG)) return;
  if (session->out_shown == nullptr) session->out_shown = text_buffer_new("");
  text_buffer_append_bytes(session->out_shown, data, size);
}

void shown_clear(SmtpSession* session) {
  if (session->out_shown != nullptr) text_buffer_replace(session->out_shown, "%s", "");
}

void out_append(SmtpSession* session, const char* data, int size) {
  if (size <= 0) return;
  if (session->out == nullptr) session->out = text_buffer_new("");
  text_buffer_append_bytes(session->out, data, size);
}

// A reply line may be longer than the reply buffer keeps: this much more
// is read past the kept start to find its end, and no more.
constexpr long long kMostLineBytes = 65536;
// How much of such a line is kept: what RFC 5321 lets a reply line hold.
constexpr int kLongLineKept = 512;

// The final line of a reply was read: it is kept for the caller's report of
// the outcome, and the bytes after it wait for the next read.
void finish_reply(SmtpSession* session, const char* line, int line_length, int line_code,
                  const char* rest, int rest_length) {
  int shown = line_length > 0 && line[line_length - 1] == '\r' ? line_length - 1 : line_length;
  session->last_code = line_code;
  snprintf(session->last_reply, sizeof session->last_reply, "%.*s", shown, line);
  session->pending_length = rest_length;
  memcpy(session->pending, rest, static_cast<size_t>(rest_length));
}

// What one reply read holds: the bytes received and not yet taken.
struct ReplyRead {
  char buf[kReplyBufferSize + 1];
  int length;
  int scan;   // start of the first line not yet taken
  int base;   // bytes already moved out of buf, so positions keep counting
  int sock;
  bool greeting;
};

// Receives more bytes after what `read` holds. Returns false after the
// failure was noted.
bool receive_more(SmtpSession* session, ReplyRead* read) {
  int got = conn_recv(session, read->buf + read->length, kReplyBufferSize - read->length);
  if (got <= 0) {
    if (got < 0 && net_last_error() == kWsaTimedOut) session->timed_out = true;
    wsock_error("TCPdoread failed");
    return false;
  }
  read->length += got;
  read->buf[read->length] = '\0';
  return true;
}

// The buffer is full and holds no line end: the line's start (its code and
// first words, as much as a reply line may hold) is kept and the rest of it
// read and dropped up to its line end, so that a long reply is judged by its
// code and the next one starts where it should. Returns false when the line
// does not end within kMostLineBytes.
bool skip_long_line(SmtpSession* session, ReplyRead* read) {
  const int kept = kLongLineKept;
  long long dropped = read->length - kept;
  // Each receive leaves room for what follows the line end behind the start.
  char more[kReplyBufferSize - kLongLineKept - 1];
  for (;;) {
    int got = conn_recv(session, more, static_cast<int>(sizeof more));
    if (got <= 0) {
      if (got < 0 && net_last_error() == kWsaTimedOut) session->timed_out = true;
      wsock_error("TCPdoread failed");
      return false;
    }
    const void* found = memchr(more, '\n', static_cast<size_t>(got));
    if (found == nullptr) {
      dropped += got;
      if (dropped > kMostLineBytes) {
        log_event(LOG_ERROR, "TCPdoread failed: no line end within %lld bytes\n", kMostLineBytes);
        return false;
      }
      continue;
    }
    int at = static_cast<int>(static_cast<const char*>(found) - more);
    dropped += at;
    log_event(LOG_DEBUG, "a reply line of %lld bytes: only its first %d are kept.",
              kept + dropped, kept);
    // The kept start stands for the whole line: its line end follows it, and
    // positions count the dropped bytes.
    read->base += static_cast<int>(dropped);
    read->buf[kept] = '\n';
    int rest = got - at - 1;
    memcpy(read->buf + kept + 1, more + at + 1, static_cast<size_t>(rest));
    read->length = kept + 1 + rest;
    read->buf[read->length] = '\0';
    return true;
  }
}

// Takes the complete lines `read` holds, logging each. Returns true once
// the final line of the reply was taken (*code set).
bool take_lines(SmtpSession* session, ReplyRead* read, int* code, ReplyLineFn each_line,
                void* context) {
  const void* found;
  while ((found = memchr(read->buf + read->scan, '\n',
                         static_cast<size_t>(read->length - read->scan))) != nullptr) {
    int end = static_cast<int>(static_cast<const char*>(found) - read->buf);
    read->buf[end] = '\0';
    const char* line = read->buf + read->scan;
    if (read->greeting) {
      log_event(LOG_DEBUG, "RECV(%d): {%s}\n", read->sock, line);
    } else {
      log_event(LOG_DEBUG, "RECV(%d):[%d] {%s}\n", read->sock, read->base + end, line);
    }
    int line_length = end - read->scan;
    bool final = is_final_line(line, line_length);
    int line_code = reply_code(line, line_length);
    if (each_line != nullptr) {
      if (line_length > 0 && line[line_length - 1] == '\r') --line_length;
      each_line(line, line_length, context);
    }
    read->scan = end + 1;
    if (final) {
      finish_reply(session, line, line_length, line_code, read->buf + read->scan,
                   read->length - read->scan);
      if (code != nullptr) *code = line_code;
      return true;
    }
  }
  return false;
}

// Reads up to and including the final line of one reply, logging each line.
// What arrived after that line is kept pending, so the next read sees the
// next reply whole. Returns 1 with *code set, or 0 on failure.
int read_reply(SmtpSession* session, bool greeting, int* code, ReplyLineFn each_line,
               void* context) {
  ReplyRead read;
  read.length = session->pending_length;
  memcpy(read.buf, session->pending, static_cast<size_t>(read.length));
  read.buf[read.length] = '\0';
  session->pending_length = 0;
  read.sock = static_cast<int>(session->socket);
  read.scan = 0;
  read.base = 0;
  read.greeting = greeting;
  for (;;) {
    if (take_lines(session, &read, code, each_line, context)) return 1;
    // Keep only the incomplete line, so a long multi-line reply still fits.
    if (read.scan > 0) {
      memmove(read.buf, read.buf + read.scan, static_cast<size_t>(read.length - read.scan));
      read.base += read.scan;
      read.length -= read.scan;
      read.scan = 0;
    }
    bool more = read.length >= kReplyBufferSize ? skip_long_line(session, &read)
                                                : receive_more(session, &read);
    if (!more) return 0;
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

void smtp_session_init(SmtpSession* session, const SmtpOptions& options) {
  *session = SmtpSession();
  session->options = options;
  if (session->options.line_ending == nullptr) session->options.line_ending = "\n";
  if (session->options.timeout_seconds <= 0) {
    session->options.timeout_seconds = kDefaultSmtpTimeoutSeconds;
  }
  session->socket = kNoSocket;
}

void smtp_session_end(SmtpSession* session) {
  smtp_close(session);
  text_buffer_free(session->out);
  text_buffer_free(session->out_shown);
  session->out = nullptr;
  session->out_shown = nullptr;
}

void smtp_start_deadline(SmtpSession* session) {
  int seconds = session->options.deadline_seconds;
  session->deadline_ms = seconds > 0 ? os_monotonic_ms() + seconds * 1000LL : 0;
  long long end_by = session->options.end_by_ms;
  if (end_by != 0 && (session->deadline_ms == 0 || end_by < session->deadline_ms)) {
    session->deadline_ms = end_by;
  }
}

int smtp_step_seconds(const SmtpSession* session) {
  int timeout = session->options.timeout_seconds;
  if (session->deadline_ms == 0) return timeout;
  // Whole seconds, rounded to the nearest: a step outlasts the deadline by
  // half a second at most, and under half a second left is none.
  long long left = (session->deadline_ms - os_monotonic_ms() + 500) / 1000;
  if (left <= 0) return 0;
  return left < timeout ? static_cast<int>(left) : timeout;
}

OsSocket TCPconnect(SmtpSession* session, char* host, int port) {
  for (char* p = host; *p != '\0'; ++p) *p = ascii_lower(*p);
  session->pending_length = 0;
  session->timed_out = false;
  smtp_start_deadline(session);

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
  // No time left (the run's deadline passed): no connection is tried, as
  // 0 would mean no limit to net_connect.
  int seconds = step_wait(session);
  if (seconds == 0 || net_connect(sock, family, addr, port, seconds) != 0) {
    char where[300];
    snprintf(where, sizeof where, "%.253s port %d", host, port);
    wsock_error(where);
    net_close(sock);
    return kNoSocket;
  }
  return sock;
}

int TCPwrite(SmtpSession* session, OsSocket sock, const char* data, int size) {
  return write_all(session, sock, nullptr, data, size, nullptr);
}

void smtp_queue(SmtpSession* session, const char* data, int size) {
  if (size <= 0) return;
  out_append(session, data, size);
  shown_append(session, data, size);
}

static void queue_line_ending(SmtpSession* session) {
  const char* ending = session->options.line_ending;
  smtp_queue(session, ending, static_cast<int>(strlen(ending)));
}

void smtp_queue_command(SmtpSession* session, const char* line) {
  log_event(LOG_DEBUG, "SEND(%d): {%s\n}\n", static_cast<int>(session->socket), line);
  smtp_queue(session, line, static_cast<int>(strlen(line)));
  queue_line_ending(session);
}

// The wire half of smtp_queue_dot_stuffed, when no copy is traced.
static void queue_dot_stuffed_wire(SmtpSession* session, const char* content) {
  const char* run = content;
  for (const char* p = strchr(content, '.'); p != nullptr; p = strchr(p + 1, '.')) {
    if (p != content && p[-1] != '\n') continue;
    out_append(session, run, static_cast<int>(p - run));
    out_append(session, ".", 1);
    run = p;
  }
  out_append(session, run, static_cast<int>(strlen(run)));
}

void smtp_queue_dot_stuffed(SmtpSession* session, const char* content, const char* shown) {
  if (!log_level_enabled(LOG_DEBUG)) {
    queue_dot_stuffed_wire(session, content);
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
      out_append(session, run, static_cast<int>(p - run));
      shown_append(session, shown_run, static_cast<int>(s - shown_run));
      smtp_queue(session, ".", 1);
      run = p;
      shown_run = s;
    }
    s += log_copy_width(s, *p);
  }
  out_append(session, run, static_cast<int>(strlen(run)));
  shown_append(session, shown_run, static_cast<int>(strlen(shown_run)));
}

static int flush_queue(SmtpSession* session, const char* shown) {
  int size = session->out != nullptr ? session->out->length : 0;
  if (size == 0) return 0;
  // A `shown` text stands for the whole queue: the copy is not walked.
  const char* trace =
      shown == nullptr && session->out_shown != nullptr ? session->out_shown->data : nullptr;
  int sent = write_all(session, session->socket, session->tls, session->out->data, size, shown,
                       trace);
  text_buffer_replace(session->out, "%s", "");
  shown_clear(session);
  return sent == size ? 0 : -1;
}

int smtp_flush(SmtpSession* session) { return flush_queue(session, nullptr); }

int smtp_flush_body(SmtpSession* session) {
  int size = session->out != nullptr ? session->out->length : 0;
  if (size == 0) return 0;
  char shown[80];
  snprintf(shown, sizeof shown, "(%d bytes of the message body, not shown)", size);
  return flush_queue(session, shown);
}

int smtp_queue_body_block(SmtpSession* session, const char* data, size_t size, bool* line_start) {
  const char* run = data;
  const char* end = data + size;
  for (const char* p = data; p < end; ++p) {
    bool starts = p == data ? *line_start : p[-1] == '\n';
    if (*p != '.' || !starts) continue;
    out_append(session, run, static_cast<int>(p - run));
    out_append(session, ".", 1);
    run = p;
  }
  out_append(session, run, static_cast<int>(end - run));
  if (size > 0) *line_start = end[-1] == '\n';
  if (session->out != nullptr && session->out->length >= kSmtpBodyBlock) {
    return smtp_flush_body(session);
  }
  return 0;
}

void sendr(SmtpSession* session, const char* line) {
  smtp_queue_command(session, line);
  if (smtp_flush(session) != 0) wsock_error("TCPwrite failed in sendr(1)");
}

void sendr_masked(SmtpSession* session, const char* line, const char* shown) {
  log_event(LOG_DEBUG, "SEND(%d): {%s\n}\n", static_cast<int>(session->socket), shown);
  smtp_queue(session, line, static_cast<int>(strlen(line)));
  queue_line_ending(session);
  if (flush_queue(session, shown) != 0) wsock_error("TCPwrite failed in sendr(1)");
  // The credentials do not stay in the queue's block once sent.
  if (session->out != nullptr) {
    memset(session->out->data, 0, static_cast<size_t>(session->out->capacity));
  }
  if (session->out_shown != nullptr) {
    memset(session->out_shown->data, 0, static_cast<size_t>(session->out_shown->capacity));
  }
}

void TCPdoread_greeting(SmtpSession* session) {
  (void)read_reply(session, /*greeting=*/true, nullptr, nullptr, nullptr);
}

int TCPdoread(SmtpSession* session, int* code) {
  return smtp_read_reply(session, code, nullptr, nullptr);
}

int smtp_read_reply(SmtpSession* session, int* code, ReplyLineFn each_line, void* context) {
  int ignored = 0;
  if (code == nullptr) code = &ignored;
  *code = 0;
  return read_reply(session, /*greeting=*/false, code, each_line, context);
}

void smtp_discard_pending(SmtpSession* session) { session->pending_length = 0; }

void smtp_close(SmtpSession* session) {
  if (session->tls != nullptr) tls_close(session->tls);
  session->tls = nullptr;
  if (session->socket != kNoSocket) net_close(session->socket);
  session->socket = kNoSocket;
  session->pending_length = 0;
  if (session->out != nullptr) text_buffer_replace(session->out, "%s", "");
  shown_clear(session);
  session->timed_out = false;
  session->last_code = 0;
  session->last_reply[0] = '\0';
  session->failure[0] = '\0';
}
