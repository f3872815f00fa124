#include "platform/tls_posix.h"

namespace {

// ---- Calls and their waits -------------------------------------------------

enum class Outcome { kDone, kFailed, kTimedOut };

// Runs one SSL call (connect, read or write) until it completes, fails, or
// the deadline passes, waiting for the socket between tries. *result is the
// call's last return value and *ssl_error its SSL_get_error code.
template <typename Call>
Outcome run_call(TlsSession* s, long long deadline, Call call, int* result,
                 int* ssl_error) {
  for (;;) {
    g_ssl.err_clear_error();  // SSL_get_error reads the queue
    s->sys_errno = 0;
    s->eof = false;
    *result = call();
    if (*result > 0) {
      *ssl_error = SSL_ERROR_NONE;
      return Outcome::kDone;
    }
    *ssl_error = g_ssl.ssl_get_error(s->ssl, *result);
    short events = 0;
    if (*ssl_error == SSL_ERROR_WANT_READ) events = POLLIN;
    if (*ssl_error == SSL_ERROR_WANT_WRITE) events = POLLOUT;
    if (events == 0) {
      if (*ssl_error == SSL_ERROR_SYSCALL || *ssl_error == SSL_ERROR_SSL) {
        s->broken = true;
      }
      return Outcome::kFailed;
    }
    int ready = net_posix_wait(s->sock, events, deadline);
    if (ready == 0) return Outcome::kTimedOut;
    if (ready < 0) {
      s->broken = true;
      return Outcome::kFailed;  // net_last_error() already says why
    }
  }
}

bool is_protocol_refusal(int reason) {
  return reason == SSL_R_TLSV1_ALERT_PROTOCOL_VERSION ||
         reason == SSL_R_UNSUPPORTED_PROTOCOL ||
         reason == SSL_R_NO_PROTOCOLS_AVAILABLE ||
         reason == SSL_R_VERSION_TOO_LOW ||
         reason == SSL_R_WRONG_SSL_VERSION;
}

// Turns a failed certificate check into words.
void describe_verify_failure(long result, const char* host, char* error) {
  switch (result) {
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      set_error(error, "certificate name does not match %s", host);
      return;
    case X509_V_ERR_CERT_HAS_EXPIRED:
      set_error(error, "certificate expired");
      return;
    case X509_V_ERR_CERT_NOT_YET_VALID:
      set_error(error, "certificate not yet valid");
      return;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
      set_error(error, "certificate not trusted");
      return;
    default:
      set_error(error, "certificate refused: %s",
                g_ssl.verify_cert_error_string(result));
  }
}

// The reason a handshake failed, after run_call said kFailed.
void describe_handshake_failure(TlsSession* s, int ssl_error,
                                const char* host, char* error) {
  long verify = g_ssl.ssl_get_verify_result(s->ssl);
  unsigned long first = 0;
  bool protocol = false;
  for (unsigned long code = g_ssl.err_get_error(); code != 0;
       code = g_ssl.err_get_error()) {
    if (first == 0) first = code;
    if (ERR_GET_LIB(code) == ERR_LIB_SSL &&
        is_protocol_refusal(ERR_GET_REASON(code))) {
      protocol = true;
    }
  }
  int socket_error = net_last_error();
  net_set_last_error(0);
  if (verify != X509_V_OK) {
    describe_verify_failure(verify, host, error);
  } else if (protocol) {
    set_error(error, "protocol version refused (TLS 1.2 at least)");
  } else if (s->sys_errno != 0) {
    socket_error = net_posix_error_code(s->sys_errno);
    net_set_last_error(socket_error);
    if (socket_error == 10054) {
      set_error(error, "connection reset during handshake");
    } else {
      set_error(error, "socket error %d during handshake", socket_error);
    }
  } else if (s->eof || ssl_error == SSL_ERROR_ZERO_RETURN) {
    set_error(error, "connection closed during handshake");
  } else if (first != 0) {
    load_error_texts();
    const char* reason = g_ssl.err_reason_error_string(first);
    if (reason != nullptr) {
      set_error(error, "%s", reason);
    } else {
      g_ssl.err_error_string_n(first, error, kTlsErrorSize);
    }
  } else if (socket_error != 0) {  // the wait itself failed
    net_set_last_error(socket_error);
    set_error(error, "socket error %d during handshake", socket_error);
  } else {
    set_error(error, "handshake failed");
  }
}

// Sets the socket error after a failed read or write of application data.
void note_data_failure(TlsSession* s, Outcome outcome) {
  if (outcome == Outcome::kTimedOut) return;  // 10060 is set already
  if (s->sys_errno != 0) {
    net_set_last_error(net_posix_error_code(s->sys_errno));
  } else if (s->eof) {
    net_set_last_error(10054);  // gone without close_notify while writing
  } else if (net_last_error() == 0) {
    net_set_last_error(kAborted);
  }
  g_ssl.err_clear_error();
}

bool is_ip_literal(const char* host) {
  unsigned char addr[16];
  return inet_pton(AF_INET, host, addr) == 1 ||
         inet_pton(AF_INET6, host, addr) == 1;
}

// Checks that the CA file can be opened and read before OpenSSL parses it,
// so that a wrong path and a file with no certificate read differently.
bool ca_file_readable(const char* path) {
  FILE* f = fopen(path, "rb");
  if (f == nullptr) return false;
  fgetc(f);
  bool ok = ferror(f) == 0;
  fclose(f);
  return ok;
}

void free_session(TlsSession* s) {
  if (s->ssl != nullptr) g_ssl.ssl_free(s->ssl);  // frees the BIO too
  if (s->ctx != nullptr) g_ssl.ctx_free(s->ctx);
  free(s);
}

// The context and connection objects, set up for `host` and `ca_file`.
bool set_up(TlsSession* s, const char* host, const char* ca_file,
            char* error) {
  s->ctx = g_ssl.ctx_new(g_ssl.tls_client_method());
  if (s->ctx == nullptr) {
    set_error(error, "TLS set-up failed");
    return false;
  }
  g_ssl.ctx_ctrl(s->ctx, SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_2_VERSION,
                 nullptr);
  g_ssl.ctx_set_verify(s->ctx, SSL_VERIFY_PEER, nullptr);
  // The hashed system folder is looked up lazily; the bundle file would be
  // parsed whole on every run, which costs far more than a handshake.
  g_ssl.ctx_set_default_verify_dir(s->ctx);
  if (ca_file != nullptr && *ca_file != '\0') {
    if (!ca_file_readable(ca_file)) {
      set_error(error, "CA file cannot be read: %s", ca_file);
      return false;
    }
    if (g_ssl.ctx_load_verify_file(s->ctx, ca_file) != 1) {
      set_error(error, "CA file holds no usable certificate: %s", ca_file);
      return false;
    }
  }
  s->ssl = g_ssl.ssl_new(s->ctx);
  BIO* bio = s->ssl == nullptr ? nullptr : g_ssl.bio_new(g_ssl.socket_method);
  if (bio == nullptr) {
    set_error(error, "TLS set-up failed");
    return false;
  }
  g_ssl.bio_set_data(bio, s);
  g_ssl.bio_set_init(bio, 1);
  g_ssl.ssl_set_bio(s->ssl, bio, bio);  // one reference, owned by ssl

  bool name_set;
  if (is_ip_literal(host)) {
    // No SNI for an address; the certificate must list it as an IP entry.
    name_set =
        g_ssl.param_set1_ip_asc(g_ssl.ssl_get0_param(s->ssl), host) == 1;
  } else {
    name_set = g_ssl.ssl_ctrl(s->ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME,
                              TLSEXT_NAMETYPE_host_name,
                              const_cast<char*>(host)) == 1 &&
               g_ssl.ssl_set1_host(s->ssl, host) == 1;
  }
  if (!name_set) {
    set_error(error, "host name not usable for TLS: %s", host);
    return false;
  }
  return true;
}

}  // namespace

TlsSession* tls_start(OsSocket sock, const char* host, const char* ca_file,
                      int timeout_seconds, char* error) {
  char scratch[kTlsErrorSize];
  if (error == nullptr) error = scratch;
  error[0] = '\0';
  net_set_last_error(0);
  if (host == nullptr || *host == '\0') {
    set_error(error, "no host name to check the certificate against");
    return nullptr;
  }
  if (!load_openssl()) {
    set_error(error, "%s", g_ssl.failure);
    return nullptr;
  }
  // calloc, not new: the program does without the C++ runtime library.
  TlsSession* s = static_cast<TlsSession*>(calloc(1, sizeof(TlsSession)));
  if (s == nullptr) {
    set_error(error, "out of memory");
    return nullptr;
  }
  s->sock = sock;
  if (!set_up(s, host, ca_file, error)) {
    g_ssl.err_clear_error();
    free_session(s);
    return nullptr;
  }

  int result = 0;
  int ssl_error = 0;
  Outcome outcome =
      run_call(s, net_posix_deadline(timeout_seconds),
               [s] { return g_ssl.ssl_connect(s->ssl); }, &result, &ssl_error);
  if (outcome != Outcome::kDone) {
    if (outcome == Outcome::kTimedOut) {
      set_error(error, "handshake timed out");
      g_ssl.err_clear_error();
    } else {
      describe_handshake_failure(s, ssl_error, host, error);
    }
    int code = net_last_error();
    free_session(s);
    net_set_last_error(code);
    return nullptr;
  }
  const SSL_CIPHER* cipher = g_ssl.ssl_get_current_cipher(s->ssl);
  snprintf(s->description, sizeof s->description, "%s %s",
           g_ssl.ssl_get_version(s->ssl),
           cipher == nullptr ? "(none)" : g_ssl.cipher_get_name(cipher));
  net_set_last_error(0);
  return s;
}

int tls_send(TlsSession* s, const char* data, int len, int timeout_seconds) {
  if (s == nullptr || len < 0 || (data == nullptr && len > 0)) {
    net_set_last_error(kInvalidArgument);
    return -1;
  }
  if (len == 0) {
    net_set_last_error(0);
    return 0;
  }
  int result = 0;
  int ssl_error = 0;
  Outcome outcome = run_call(
      s, net_posix_deadline(timeout_seconds),
      [s, data, len] { return g_ssl.ssl_write(s->ssl, data, len); }, &result,
      &ssl_error);
  if (outcome != Outcome::kDone) {
    note_data_failure(s, outcome);
    return -1;
  }
  net_set_last_error(0);
  return result;  // without partial writes, SSL_write takes all or fails
}

int tls_recv(TlsSession* s, char* buf, int len, int timeout_seconds) {
  if (s == nullptr || buf == nullptr || len <= 0) {
    net_set_last_error(kInvalidArgument);
    return -1;
  }
  int result = 0;
  int ssl_error = 0;
  Outcome outcome = run_call(
      s, net_posix_deadline(timeout_seconds),
      [s, buf, len] { return g_ssl.ssl_read(s->ssl, buf, len); }, &result,
      &ssl_error);
  if (outcome == Outcome::kDone) {
    net_set_last_error(0);
    return result;
  }
  // close_notify, or the socket closed without one: either way the end.
  if (outcome == Outcome::kFailed &&
      (ssl_error == SSL_ERROR_ZERO_RETURN ||
       (s->eof && s->sys_errno == 0))) {
    g_ssl.err_clear_error();
    net_set_last_error(0);
    return 0;
  }
  note_data_failure(s, outcome);
  return -1;
}

const char* tls_description(TlsSession* s) {
  return s == nullptr ? "" : s->description;
}

void tls_close(TlsSession* s) {
  if (s == nullptr) return;
  if (!s->broken) {
    // One try: close_notify fits in the socket buffer; the peer's answer is
    // not waited for.
    g_ssl.err_clear_error();
    g_ssl.ssl_shutdown(s->ssl);
  }
  g_ssl.err_clear_error();
  int code = net_last_error();
  free_session(s);
  net_set_last_error(code);
}
