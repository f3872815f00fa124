#pragma once
// What the files of the POSIX TLS half share: the OpenSSL functions
// (libssl and libcrypto opened with dlopen on the first tls_start), the
// session record and the error text helper. Included by tls_posix*.cpp only.

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
#include "platform/tls.h"

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

// Filled by load_openssl (tls_posix_load.cpp).
extern OpenSsl g_ssl;

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

// Formats a one-line reason into `error` (kTlsErrorSize bytes).
void set_error(char* error, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Opens both libraries and resolves g_ssl once per process. False with the
// reason in g_ssl.failure, the same at every later call.
bool load_openssl();

// Loads the error texts that start-up left out, once; for putting a
// failure into words.
void load_error_texts();
