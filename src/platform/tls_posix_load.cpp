// libssl and libcrypto, opened with dlopen on the first tls_start, and the
// socket BIO the sessions read and write through.
#include "platform/tls_posix.h"

OpenSsl g_ssl;

void set_error(char* error, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vsnprintf(error, kTlsErrorSize, format, args);
  va_end(args);
}

namespace {

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

}  // namespace

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

// The library names and the reasons of the parts a client handshake goes
// through. Once start-up has declined the texts, OPENSSL_init_crypto no
// longer loads them; these per-library loaders still do. A loader a later
// library lacks is skipped.
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
