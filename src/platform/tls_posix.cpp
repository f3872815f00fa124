#include "platform/tls.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <errno.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

// The OpenSSL headers give the types, constants and inline error-code
// helpers only: every library function is reached through g_ssl below, so
// the program carries no link-time dependency on libssl or libcrypto.
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include "platform/net_posix.h"

namespace {

constexpr const char kSslLibrary[] = "libssl.so.3";
constexpr const char kCryptoLibrary[] = "libcrypto.so.3";

// Windows Sockets numbers for failures that have no errno of their own.
constexpr int kInvalidArgument = 10022;
constexpr int kAborted = 10053;  // the TLS layer gave up on the connection

// The library functions the session uses, resolved on the first tls_start.
struct OpenSsl {
  bool tried;
  bool loaded;
  void* ssl_library;
  void* crypto_library;
  char failure[kTlsErrorSize];  // why loading failed, when it did
  BIO_METHOD* socket_method;    // reads and writes through OsSocket

  // libssl.so.3
  decltype(&::OPENSSL_init_ssl) init_ssl;
  decltype(&::TLS_client_method) tls_client_method;
  decltype(&::SSL_CTX_new) ctx_new;
  decltype(&::SSL_CTX_free) ctx_free;
  decltype(&::SSL_CTX_ctrl) ctx_ctrl;
  decltype(&::SSL_CTX_set_verify) ctx_set_verify;
  decltype(&::SSL_CTX_set_default_verify_dir) ctx_set_default_verify_dir;
  decltype(&::SSL_CTX_load_verify_file) ctx_load_verify_file;
  decltype(&::SSL_new) ssl_new;
  decltype(&::SSL_free) ssl_free;
  decltype(&::SSL_set_bio) ssl_set_bio;
  decltype(&::SSL_ctrl) ssl_ctrl;
  decltype(&::SSL_set1_host) ssl_set1_host;
  decltype(&::SSL_get0_param) ssl_get0_param;
  decltype(&::SSL_connect) ssl_connect;
  decltype(&::SSL_read) ssl_read;
  decltype(&::SSL_write) ssl_write;
  decltype(&::SSL_shutdown) ssl_shutdown;
  decltype(&::SSL_get_error) ssl_get_error;
  decltype(&::SSL_get_verify_result) ssl_get_verify_result;
  decltype(&::SSL_get_version) ssl_get_version;
  decltype(&::SSL_get_current_cipher) ssl_get_current_cipher;
  decltype(&::SSL_CIPHER_get_name) cipher_get_name;

  // libcrypto.so.3
  decltype(&::ERR_get_error) err_get_error;
  decltype(&::ERR_clear_error) err_clear_error;
  decltype(&::ERR_reason_error_string) err_reason_error_string;
  decltype(&::ERR_error_string_n) err_error_string_n;
  decltype(&::X509_verify_cert_error_string) verify_cert_error_string;
  decltype(&::X509_VERIFY_PARAM_set1_ip_asc) param_set1_ip_asc;
  decltype(&::BIO_get_new_index) bio_get_new_index;
  decltype(&::BIO_meth_new) bio_meth_new;
  decltype(&::BIO_meth_set_write) bio_meth_set_write;
  decltype(&::BIO_meth_set_read) bio_meth_set_read;
  decltype(&::BIO_meth_set_ctrl) bio_meth_set_ctrl;
  decltype(&::BIO_new) bio_new;
  decltype(&::BIO_set_data) bio_set_data;
  decltype(&::BIO_get_data) bio_get_data;
  decltype(&::BIO_set_init) bio_set_init;
  decltype(&::BIO_set_flags) bio_set_flags;
  decltype(&::BIO_clear_flags) bio_clear_flags;
};

OpenSsl g_ssl;

}  // namespace

struct TlsSession {
  OsSocket sock;
  SSL_CTX* ctx;
  SSL* ssl;
  // What the socket calls of the last TLS call saw.
  int sys_errno;  // errno of a failed send/recv, 0 if none
  bool eof;       // recv returned 0
  bool broken;    // a fatal error happened: no close_notify then
  char description[96];
};

namespace {

__attribute__((format(printf, 2, 3))) void set_error(char* error,
                                                     const char* format, ...) {
  va_list args;
  va_start(args, format);
  vsnprintf(error, kTlsErrorSize, format, args);
  va_end(args);
}

// ---- Loading -----------------------------------------------------------

template <typename F>
bool bind(void* library, const char* library_name, const char* name,
          F* slot) {
  void* address = dlsym(library, name);
  if (address == nullptr) {
    set_error(g_ssl.failure,
              "TLS library not available (%s: undefined symbol: %s)",
              library_name, name);
    return false;
  }
  *slot = reinterpret_cast<F>(address);
  return true;
}

void* open_library(const char* name) {
  void* library = dlopen(name, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* why = dlerror();
    if (why == nullptr) why = "cannot be loaded";
    // dlerror() usually starts with the name already.
    size_t name_len = strlen(name);
    if (strncmp(why, name, name_len) == 0 && why[name_len] == ':') {
      why += name_len + 1;
      while (*why == ' ') ++why;
    }
    set_error(g_ssl.failure, "TLS library not available (%s: %s)", name, why);
  }
  return library;
}

bool bind_ssl(void* ssl) {
  const char* n = kSslLibrary;
  OpenSsl& s = g_ssl;
  return bind(ssl, n, "OPENSSL_init_ssl", &s.init_ssl) &&
         bind(ssl, n, "TLS_client_method", &s.tls_client_method) &&
         bind(ssl, n, "SSL_CTX_new", &s.ctx_new) &&
         bind(ssl, n, "SSL_CTX_free", &s.ctx_free) &&
         bind(ssl, n, "SSL_CTX_ctrl", &s.ctx_ctrl) &&
         bind(ssl, n, "SSL_CTX_set_verify", &s.ctx_set_verify) &&
         bind(ssl, n, "SSL_CTX_set_default_verify_dir",
              &s.ctx_set_default_verify_dir) &&
         bind(ssl, n, "SSL_CTX_load_verify_file", &s.ctx_load_verify_file) &&
         bind(ssl, n, "SSL_new", &s.ssl_new) &&
         bind(ssl, n, "SSL_free", &s.ssl_free) &&
         bind(ssl, n, "SSL_set_bio", &s.ssl_set_bio) &&
         bind(ssl, n, "SSL_ctrl", &s.ssl_ctrl) &&
         bind(ssl, n, "SSL_set1_host", &s.ssl_set1_host) &&
         bind(ssl, n, "SSL_get0_param", &s.ssl_get0_param) &&
         bind(ssl, n, "SSL_connect", &s.ssl_connect) &&
         bind(ssl, n, "SSL_read", &s.ssl_read) &&
         bind(ssl, n, "SSL_write", &s.ssl_write) &&
         bind(ssl, n, "SSL_shutdown", &s.ssl_shutdown) &&
         bind(ssl, n, "SSL_get_error", &s.ssl_get_error) &&
         bind(ssl, n, "SSL_get_verify_result", &s.ssl_get_verify_result) &&
         bind(ssl, n, "SSL_get_version", &s.ssl_get_version) &&
         bind(ssl, n, "SSL_get_current_cipher", &s.ssl_get_current_cipher) &&
         bind(ssl, n, "SSL_CIPHER_get_name", &s.cipher_get_name);
}

bool bind_crypto(void* crypto) {
  const char* n = kCryptoLibrary;
  OpenSsl& s = g_ssl;
  return bind(crypto, n, "ERR_get_error", &s.err_get_error) &&
         bind(crypto, n, "ERR_clear_error", &s.err_clear_error) &&
         bind(crypto, n, "ERR_reason_error_string",
              &s.err_reason_error_string) &&
         bind(crypto, n, "ERR_error_string_n", &s.err_error_string_n) &&
         bind(crypto, n, "X509_verify_cert_error_string",
              &s.verify_cert_error_string) &&
         bind(crypto, n, "X509_VERIFY_PARAM_set1_ip_asc",
              &s.param_set1_ip_asc) &&
         bind(crypto, n, "BIO_get_new_index", &s.bio_get_new_index) &&
         bind(crypto, n, "BIO_meth_new", &s.bio_meth_new) &&
         bind(crypto, n, "BIO_meth_set_write", &s.bio_meth_set_write) &&
         bind(crypto, n, "BIO_meth_set_read", &s.bio_meth_set_read) &&
         bind(crypto, n, "BIO_meth_set_ctrl", &s.bio_meth_set_ctrl) &&
         bind(crypto, n, "BIO_new", &s.bio_new) &&
         bind(crypto, n, "BIO_set_data", &s.bio_set_data) &&
         bind(crypto, n, "BIO_get_data", &s.bio_get_data) &&
         bind(crypto, n, "BIO_set_init", &s.bio_set_init) &&
         bind(crypto, n, "BIO_set_flags", &s.bio_set_flags) &&
         bind(crypto, n, "BIO_clear_flags", &s.bio_clear_flags);
}

// ---- The socket under the TLS records ------------------------------------
//
// OpenSSL's own socket BIO would write with write(), which raises SIGPIPE
// when the server has gone, and would need the socket switched to
// non-blocking mode. These callbacks send and receive without waiting and
// without signals instead; the calls below wait with poll() between tries.
// Without read-ahead OpenSSL asks for a record header and then exactly the
// record, so nothing after the handshake is read early (STARTTLS relies on
// that).

int bio_write(BIO* bio, const char* data, int len) {
  TlsSession* s = static_cast<TlsSession*>(g_ssl.bio_get_data(bio));
  g_ssl.bio_clear_flags(bio, BIO_FLAGS_RWS | BIO_FLAGS_SHOULD_RETRY);
  ssize_t sent = send(static_cast<int>(s->sock), data, static_cast<size_t>(len),
                      MSG_DONTWAIT | MSG_NOSIGNAL);
  if (sent >= 0) return static_cast<int>(sent);
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
    g_ssl.bio_set_flags(bio, BIO_FLAGS_WRITE | BIO_FLAGS_SHOULD_RETRY);
  } else {
    s->sys_errno = errno;
  }
  return -1;
}

int bio_read(BIO* bio, char* buf, int len) {
  TlsSession* s = static_cast<TlsSession*>(g_ssl.bio_get_data(bio));
  g_ssl.bio_clear_flags(bio, BIO_FLAGS_RWS | BIO_FLAGS_SHOULD_RETRY);
  ssize_t got = recv(static_cast<int>(s->sock), buf, static_cast<size_t>(len),
                     MSG_DONTWAIT);
  if (got > 0) return static_cast<int>(got);
  if (got == 0) {
    s->eof = true;
    return 0;
  }
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
    g_ssl.bio_set_flags(bio, BIO_FLAGS_READ | BIO_FLAGS_SHOULD_RETRY);
  } else {
    s->sys_errno = errno;
  }
  return -1;
}

long bio_ctrl(BIO* bio, int command, long, void*) {
  if (command == BIO_CTRL_FLUSH) return 1;  // nothing is buffered here
  if (command == BIO_CTRL_EOF) {
    return static_cast<TlsSession*>(g_ssl.bio_get_data(bio))->eof ? 1 : 0;
  }
  return 0;
}

bool load_openssl() {
  if (g_ssl.tried) return g_ssl.loaded;
  g_ssl.tried = true;
  // Both stay loaded for the rest of the process.
  void* ssl = open_library(kSslLibrary);
  if (ssl == nullptr) return false;
  void* crypto = open_library(kCryptoLibrary);
  if (crypto == nullptr || !bind_ssl(ssl) || !bind_crypto(crypto)) {
    return false;
  }
  g_ssl.ssl_library = ssl;
  g_ssl.crypto_library = crypto;
  // One client session needs neither a configuration file (nor the
  // providers and engines it may name) nor the tables of error texts:
  // those are loaded when a failure is to be put into words.
  if (g_ssl.init_ssl(OPENSSL_INIT_NO_LOAD_CONFIG |
                         OPENSSL_INIT_NO_LOAD_SSL_STRINGS |
                         OPENSSL_INIT_NO_LOAD_CRYPTO_STRINGS,
                     nullptr) != 1) {
    set_error(g_ssl.failure, "TLS library not available (%s: no start-up)",
              kSslLibrary);
    return false;
  }
  int type = g_ssl.bio_get_new_index();
  BIO_METHOD* method =
      type < 0 ? nullptr
               : g_ssl.bio_meth_new(type | BIO_TYPE_SOURCE_SINK,
                                    "quillon socket");
  if (method == nullptr || !g_ssl.bio_meth_set_write(method, bio_write) ||
      !g_ssl.bio_meth_set_read(method, bio_read) ||
      !g_ssl.bio_meth_set_ctrl(method, bio_ctrl)) {
    set_error(g_ssl.failure, "TLS library not available (%s: no BIO method)",
              kCryptoLibrary);
    return false;
  }
  g_ssl.socket_method = method;
  g_ssl.loaded = true;
  return true;
}

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

// The error texts left out at start-up, loaded when a failure is to be put
// into words: the library names and the reasons of the parts a client
// handshake goes through. Once start-up has declined the texts,
// OPENSSL_init_crypto no longer loads them; these per-library loaders
// still do. A loader a later library lacks is skipped.
void load_error_texts() {
  static bool loaded = false;
  if (loaded) return;
  loaded = true;
  static const char* const kCrypto[] = {
      "ERR_load_ERR_strings",   "ERR_load_CRYPTO_strings",
      "ERR_load_ASN1_strings",  "ERR_load_BIO_strings",
      "ERR_load_BN_strings",    "ERR_load_BUF_strings",
      "ERR_load_DH_strings",    "ERR_load_EC_strings",
      "ERR_load_EVP_strings",   "ERR_load_OBJ_strings",
      "ERR_load_PEM_strings",   "ERR_load_RAND_strings",
      "ERR_load_RSA_strings",   "ERR_load_X509_strings",
      "ERR_load_X509V3_strings"};
  for (const char* name : kCrypto) {
    void* loader = dlsym(g_ssl.crypto_library, name);
    if (loader != nullptr) reinterpret_cast<int (*)()>(loader)();
  }
  void* loader = dlsym(g_ssl.ssl_library, "ERR_load_SSL_strings");
  if (loader != nullptr) reinterpret_cast<int (*)()>(loader)();
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
