#include "platform/tls_win32.h"

// SChannel through SSPI over the program's Windows Sockets 1.1 socket. The
// server certificate is checked here with crypt32, not by SChannel: Wine
// skips SChannel's own check, and doing it ourselves gives one behaviour
// (and one set of messages) everywhere.
//
// secur32.dll and crypt32.dll are loaded on the first tls_start, not
// imported: loading them costs every run, plain SMTP or not, tens of
// milliseconds under Wine.


// What the server's first answer showed about the protocol version.
struct FirstReply {
  bool seen = false;
  bool hello_ok = false;     // a ServerHello for TLS 1.2 or later
  bool version_bad = false;  // an older one, or a protocol_version alert
};

static bool send_all(SOCKET sock, const char* data, size_t len, int timeout) {
  while (len > 0) {
    int chunk = len > 0x40000000 ? 0x40000000 : static_cast<int>(len);
    int n = net_send(static_cast<OsSocket>(sock), data, chunk, timeout);
    if (n <= 0) return false;
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

// Appends what the socket has to session->in. Returns the bytes read, 0 when
// the peer closed, or -1 with the socket error set (WSAEMSGSIZE when a record
// cannot fit the buffer).
static int read_more(TlsSession* s, int timeout) {
  if (s->in_len >= kInputSize) {
    net_set_last_error(WSAEMSGSIZE);
    return -1;
  }
  return net_recv(static_cast<OsSocket>(s->sock), s->in + s->in_len,
                  static_cast<int>(kInputSize - s->in_len), timeout);
}

// Keeps the bytes a call left unused (SECBUFFER_EXTRA, always the tail of the
// input) at the front of session->in.
static void keep_extra(TlsSession* s, const SecBuffer& extra) {
  if (extra.BufferType != SECBUFFER_EXTRA || extra.cbBuffer == 0 ||
      extra.cbBuffer > s->in_len) {
    s->in_len = 0;
    return;
  }
  memmove(s->in, s->in + (s->in_len - extra.cbBuffer),
          extra.cbBuffer);
  s->in_len = extra.cbBuffer;
}

// A TLS record starts with its type (22 handshake, 21 alert), two version
// bytes and a two-byte length; a ServerHello (handshake type 2) then carries
// its version after the 4-byte handshake header. TLS 1.3 also says 3.3 there.
static void note_first_reply(const unsigned char* p, size_t len,
                             FirstReply* first) {
  first->seen = true;
  if (len >= 11 && p[0] == 22 && p[5] == 2) {
    int version = p[9] << 8 | p[10];
    first->hello_ok = version >= 0x0303;
    first->version_bad = version < 0x0303;
  } else if (len >= 7 && p[0] == 21 && p[6] == 70) {
    first->version_bad = true;
  }
}

static bool acquire_credentials(TlsSession* s, char* error) {
  static const DWORD kProtocols[] = {
      SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT,
      // Windows versions without TLS 1.3 in SChannel may refuse the pair.
      SP_PROT_TLS1_2_CLIENT,
  };
  SECURITY_STATUS status = SEC_E_OK;
  for (DWORD protocols : kProtocols) {
    SCHANNEL_CRED cred = {};
    cred.dwVersion = SCHANNEL_CRED_VERSION;
    cred.grbitEnabledProtocols = protocols;
    cred.dwFlags = SCH_CRED_NO_DEFAULT_CREDS | SCH_CRED_MANUAL_CRED_VALIDATION |
                   SCH_USE_STRONG_CRYPTO;
    TimeStamp expiry;
    status = g_api.AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A),
                                       SECPKG_CRED_OUTBOUND, nullptr, &cred,
                                       nullptr, nullptr, &s->cred, &expiry);
    if (status == SEC_E_OK) {
      s->have_cred = true;
      return true;
    }
  }
  snprintf(error, kTlsErrorSize, "TLS library not available (0x%08lx)",
           static_cast<unsigned long>(status));
  return false;
}

// One InitializeSecurityContext step on what session->in holds (nothing on
// the first call), sending whatever it produced: the next handshake message,
// or on failure the alert that tells the server why.
static SECURITY_STATUS handshake_step(TlsSession* s, const char* host,
                                      int timeout, bool* sent) {
  SecBuffer in_bufs[2] = {
      {static_cast<ULONG>(s->in_len), SECBUFFER_TOKEN, s->in},
      {0, SECBUFFER_EMPTY, nullptr}};
  SecBufferDesc in_desc = {SECBUFFER_VERSION, 2, in_bufs};
  SecBuffer out_buf = {0, SECBUFFER_TOKEN, nullptr};
  SecBufferDesc out_desc = {SECBUFFER_VERSION, 1, &out_buf};
  ULONG attrs = 0;
  bool first = !s->have_ctx;
  SECURITY_STATUS status = g_api.InitializeSecurityContextA(
      &s->cred, first ? nullptr : &s->ctx, const_cast<char*>(host),
      kContextRequest, 0, 0, first ? nullptr : &in_desc, 0, &s->ctx, &out_desc,
      &attrs, nullptr);
  if (first && !FAILED(status)) s->have_ctx = true;
  *sent = true;
  if (out_buf.pvBuffer != nullptr) {
    bool wanted = !FAILED(status) || (attrs & ISC_RET_EXTENDED_ERROR);
    if (wanted && out_buf.cbBuffer > 0) {
      bool ok = send_all(s->sock, static_cast<const char*>(out_buf.pvBuffer),
                         out_buf.cbBuffer, timeout);
      // A lost alert changes nothing: the failure is reported either way.
      if (!FAILED(status)) *sent = ok;
    }
    g_api.FreeContextBuffer(out_buf.pvBuffer);
  }
  if (!first && status != SEC_E_INCOMPLETE_MESSAGE &&
      status != SEC_I_INCOMPLETE_CREDENTIALS) {
    keep_extra(s, in_bufs[1]);
  }
  return status;
}

static void socket_failure(int n, char* error) {
  int code = net_last_error();
  if (n == 0) {
    snprintf(error, kTlsErrorSize, "connection closed during handshake");
  } else if (code == WSAETIMEDOUT) {
    snprintf(error, kTlsErrorSize, "handshake timed out");
  } else {
    snprintf(error, kTlsErrorSize, "TLS handshake failed (socket error %d)",
             code);
  }
}

// Wine reports a version mismatch as SEC_E_INTERNAL_ERROR and Windows as one
// of the other two; with a ServerHello of TLS 1.2 or later in hand, those
// codes mean something else and are quoted as they are.
static void handshake_failure(SECURITY_STATUS status, const FirstReply& first,
                              char* error) {
  bool version_code = status == SEC_E_INTERNAL_ERROR ||
                      status == SEC_E_UNSUPPORTED_FUNCTION ||
                      status == SEC_E_ALGORITHM_MISMATCH;
  if (first.version_bad || (version_code && !first.hello_ok)) {
    snprintf(error, kTlsErrorSize,
             "protocol version refused (TLS 1.2 at least)");
  } else if (status == SEC_I_INCOMPLETE_CREDENTIALS) {
    snprintf(error, kTlsErrorSize,
             "TLS handshake failed: the server asks for a client certificate");
  } else {
    snprintf(error, kTlsErrorSize, "TLS handshake failed (0x%08lx)",
             static_cast<unsigned long>(status));
  }
}

static bool run_handshake(TlsSession* s, const char* host, int timeout,
                          char* error) {
  FirstReply first;
  bool sent = true;
  SECURITY_STATUS status = handshake_step(s, host, timeout, &sent);
  // A server asking for a client certificate gets none: SChannel goes on
  // without one when called again with the same input.
  int credential_retries = 1;
  // Each step without a read must consume input; this bounds a provider
  // that would not.
  int steps_without_read = 0;
  while (sent) {
    if (status == SEC_E_OK) return true;
    if (status == SEC_I_INCOMPLETE_CREDENTIALS && credential_retries-- > 0) {
      status = handshake_step(s, host, timeout, &sent);
      continue;
    }
    bool more = status == SEC_E_INCOMPLETE_MESSAGE ||
                (status == SEC_I_CONTINUE_NEEDED && s->in_len == 0);
    if (!more && status != SEC_I_CONTINUE_NEEDED) {
      handshake_failure(status, first, error);
      return false;
    }
    if (!more && ++steps_without_read > 32) {
      handshake_failure(status, first, error);
      return false;
    }
    if (more) {
      steps_without_read = 0;
      int n = read_more(s, timeout);
      if (n <= 0) {
        socket_failure(n, error);
        return false;
      }
      if (!first.seen) {
        note_first_reply(reinterpret_cast<const unsigned char*>(s->in),
                         static_cast<size_t>(n), &first);
      }
      s->in_len += static_cast<size_t>(n);
    }
    status = handshake_step(s, host, timeout, &sent);
  }
  socket_failure(-1, error);
  return false;
}

static void describe(TlsSession* s) {
  SecPkgContext_ConnectionInfo info = {};
  if (g_api.QueryContextAttributesA(&s->ctx, SECPKG_ATTR_CONNECTION_INFO, &info) !=
      SEC_E_OK) {
    snprintf(s->description, sizeof s->description, "TLS");
    return;
  }
  char protocol[24];
  if (info.dwProtocol & SP_PROT_TLS1_3_CLIENT) {
    snprintf(protocol, sizeof protocol, "TLSv1.3");
  } else if (info.dwProtocol & SP_PROT_TLS1_2_CLIENT) {
    snprintf(protocol, sizeof protocol, "TLSv1.2");
  } else {
    snprintf(protocol, sizeof protocol, "TLS 0x%lx",
             static_cast<unsigned long>(info.dwProtocol));
  }
  unsigned long bits = info.dwCipherStrength;
  switch (info.aiCipher) {
    case CALG_AES:
    case CALG_AES_128:
    case CALG_AES_192:
    case CALG_AES_256:
      snprintf(s->description, sizeof s->description, "%s AES-%lu", protocol,
               bits);
      break;
    default:
      snprintf(s->description, sizeof s->description, "%s cipher 0x%x-%lu",
               protocol, static_cast<unsigned>(info.aiCipher), bits);
      break;
  }
}

static void free_session(TlsSession* s) {
  if (s->have_ctx) g_api.DeleteSecurityContext(&s->ctx);
  if (s->have_cred) g_api.FreeCredentialsHandle(&s->cred);
  free(s->in);
  free(s->plain);
  free(s->out);
  free(s);
}

// The record buffers once the stream sizes are known. False when memory ran out.
static bool size_buffers(TlsSession* s) {
  s->plain_size = s->sizes.cbMaximumMessage;
  s->plain = static_cast<char*>(malloc(s->plain_size));
  s->out = static_cast<char*>(
      malloc(s->sizes.cbHeader + s->sizes.cbMaximumMessage + s->sizes.cbTrailer));
  return s->plain != nullptr && s->out != nullptr;
}

TlsSession* tls_start(OsSocket sock, const char* host, const char* ca_file,
                      int timeout_seconds, char* error) {
  char scratch[kTlsErrorSize];
  if (error == nullptr) error = scratch;
  error[0] = '\0';
  net_set_last_error(0);
  if (host == nullptr || *host == '\0') {
    snprintf(error, kTlsErrorSize, "no host name to check the certificate against");
    return nullptr;
  }
  if (!tls_load_api(error)) return nullptr;
  HCERTSTORE roots = nullptr;
  if (ca_file != nullptr && ca_file[0] != '\0') {
    roots = tls_load_roots(ca_file);
    if (roots == nullptr) {
      snprintf(error, kTlsErrorSize, "CA file cannot be read: %s", ca_file);
      return nullptr;
    }
  }
  TlsSession* s = static_cast<TlsSession*>(calloc(1, sizeof(TlsSession)));
  if (s != nullptr) s->in = static_cast<char*>(malloc(kInputSize));
  if (s == nullptr || s->in == nullptr) {
    if (roots != nullptr) g_api.CertCloseStore(roots, 0);
    free(s);
    snprintf(error, kTlsErrorSize, "out of memory");
    return nullptr;
  }
  s->sock = static_cast<SOCKET>(sock);
  bool ok = acquire_credentials(s, error) &&
            run_handshake(s, host, timeout_seconds, error) &&
            tls_check_certificate(s, host, roots, error);
  if (roots != nullptr) g_api.CertCloseStore(roots, 0);
  if (ok && (g_api.QueryContextAttributesA(&s->ctx, SECPKG_ATTR_STREAM_SIZES,
                                     &s->sizes) != SEC_E_OK ||
             s->sizes.cbMaximumMessage == 0)) {
    snprintf(error, kTlsErrorSize, "TLS handshake failed (no stream sizes)");
    ok = false;
  }
  if (ok && !size_buffers(s)) {
    snprintf(error, kTlsErrorSize, "out of memory");
    ok = false;
  }
  if (!ok) {
    free_session(s);
    return nullptr;
  }
  describe(s);
  return s;
}

int tls_send(TlsSession* s, const char* data, int len, int timeout_seconds) {
  if (s == nullptr || len < 0 || (data == nullptr && len > 0)) {
    net_set_last_error(WSAEINVAL);
    return -1;
  }
  net_set_last_error(0);
  if (len == 0) return 0;
  const ULONG header = s->sizes.cbHeader;
  int done = 0;
  while (done < len) {
    ULONG piece = static_cast<ULONG>(len - done);
    if (piece > s->sizes.cbMaximumMessage) piece = s->sizes.cbMaximumMessage;
    char* record = s->out;
    memcpy(record + header, data + done, piece);
    SecBuffer bufs[4] = {
        {header, SECBUFFER_STREAM_HEADER, record},
        {piece, SECBUFFER_DATA, record + header},
        {s->sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record + header + piece},
        {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc = {SECBUFFER_VERSION, 4, bufs};
    if (g_api.EncryptMessage(&s->ctx, 0, &desc, 0) != SEC_E_OK) {
      net_set_last_error(WSAECONNABORTED);
      return -1;
    }
    size_t total = bufs[0].cbBuffer + bufs[1].cbBuffer + bufs[2].cbBuffer;
    if (!send_all(s->sock, record, total, timeout_seconds)) return -1;
    done += static_cast<int>(piece);
  }
  return len;
}

// Decrypts the first record of session->in into session->plain. Returns 1
// when it did (possibly no data: an empty record), 0 when the record is not
// complete yet, or -1 with the socket error set. Sets peer_closed on the
// server's close_notify.
static int decrypt_record(TlsSession* s) {
  SecBuffer bufs[4] = {
      {static_cast<ULONG>(s->in_len), SECBUFFER_DATA, s->in},
      {0, SECBUFFER_EMPTY, nullptr},
      {0, SECBUFFER_EMPTY, nullptr},
      {0, SECBUFFER_EMPTY, nullptr}};
  SecBufferDesc desc = {SECBUFFER_VERSION, 4, bufs};
  // Wine returns SEC_E_OK and no data for a close_notify. Up to TLS 1.2 an
  // alert travels in a record of type 21, and after the handshake one ends
  // the session whatever it says. (TLS 1.3 hides the type; there SChannel
  // reports SEC_I_CONTEXT_EXPIRED.)
  bool alert = s->in[0] == 21;
  SECURITY_STATUS status = g_api.DecryptMessage(&s->ctx, &desc, 0, nullptr);
  if (status == SEC_E_INCOMPLETE_MESSAGE) return 0;
  if (status == SEC_I_CONTEXT_EXPIRED || (status == SEC_E_OK && alert)) {
    s->peer_closed = true;
    s->in_len = 0;
    return 1;
  }
  if (status != SEC_E_OK) {
    // SEC_I_RENEGOTIATE included: the server wants a new handshake in the
    // middle of the dialogue, which this client does not take part in.
    net_set_last_error(WSAECONNABORTED);
    return -1;
  }
  const SecBuffer* data = nullptr;
  const SecBuffer* extra = nullptr;
  for (const SecBuffer& b : bufs) {
    if (b.BufferType == SECBUFFER_DATA && data == nullptr) data = &b;
    if (b.BufferType == SECBUFFER_EXTRA && extra == nullptr) extra = &b;
  }
  s->plain_pos = 0;
  s->plain_len = 0;
  if (data != nullptr && data->cbBuffer > 0) {
    if (data->cbBuffer > s->plain_size) {
      char* grown = static_cast<char*>(realloc(s->plain, data->cbBuffer));
      if (grown == nullptr) {
        net_set_last_error(WSAENOBUFS);
        return -1;
      }
      s->plain = grown;
      s->plain_size = data->cbBuffer;
    }
    memcpy(s->plain, data->pvBuffer, data->cbBuffer);
    s->plain_len = data->cbBuffer;
  }
  // The extra bytes lie inside session->in, after the decrypted data.
  if (extra != nullptr) {
    keep_extra(s, *extra);
  } else {
    s->in_len = 0;
  }
  return 1;
}

int tls_recv(TlsSession* s, char* buf, int len, int timeout_seconds) {
  if (s == nullptr || buf == nullptr || len <= 0) {
    net_set_last_error(WSAEINVAL);
    return -1;
  }
  net_set_last_error(0);
  for (;;) {
    if (s->plain_len > 0) {
      size_t n = static_cast<size_t>(len) < s->plain_len
                     ? static_cast<size_t>(len)
                     : s->plain_len;
      memcpy(buf, s->plain + s->plain_pos, n);
      s->plain_pos += n;
      s->plain_len -= n;
      return static_cast<int>(n);
    }
    if (s->peer_closed) return 0;
    int decrypted = s->in_len > 0 ? decrypt_record(s) : 0;
    if (decrypted < 0) return -1;
    if (decrypted > 0) continue;
    int n = read_more(s, timeout_seconds);
    if (n < 0) return -1;
    if (n == 0) {
      s->peer_closed = true;
      return 0;
    }
    s->in_len += static_cast<size_t>(n);
  }
}

const char* tls_description(TlsSession* s) { return s != nullptr ? s->description : ""; }

void tls_close(TlsSession* s) {
  if (s == nullptr) return;
  // The caller may still report the error that led here.
  int saved = net_last_error();
  DWORD shutdown = SCHANNEL_SHUTDOWN;
  SecBuffer control = {sizeof shutdown, SECBUFFER_TOKEN, &shutdown};
  SecBufferDesc control_desc = {SECBUFFER_VERSION, 1, &control};
  if (g_api.ApplyControlToken(&s->ctx, &control_desc) == SEC_E_OK) {
    SecBuffer out_buf = {0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc out_desc = {SECBUFFER_VERSION, 1, &out_buf};
    ULONG attrs = 0;
    g_api.InitializeSecurityContextA(&s->cred, &s->ctx, nullptr, kContextRequest, 0,
                               0, nullptr, 0, &s->ctx, &out_desc, &attrs,
                               nullptr);
    if (out_buf.pvBuffer != nullptr) {
      if (out_buf.cbBuffer > 0) {
        send_all(s->sock, static_cast<const char*>(out_buf.pvBuffer),
                 out_buf.cbBuffer, kCloseTimeoutSeconds);
      }
      g_api.FreeContextBuffer(out_buf.pvBuffer);
    }
  }
  free_session(s);
  net_set_last_error(saved);
}
