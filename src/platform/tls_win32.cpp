#include "platform/tls.h"

// SChannel through SSPI over the program's Windows Sockets 1.1 socket. The
// server certificate is checked here with crypt32, not by SChannel: Wine
// skips SChannel's own check, and doing it ourselves gives one behaviour
// (and one set of messages) everywhere.
//
// secur32.dll and crypt32.dll are loaded on the first tls_start, not
// imported: loading them costs every run, plain SMTP or not, tens of
// milliseconds under Wine.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <winsock.h>
#define SECURITY_WIN32
#include <wincrypt.h>
#include <schannel.h>
#include <security.h>


// Received bytes not yet decrypted. One record is at most 2^14 bytes of
// data plus 2048 of expansion and a 5-byte header; the server's first
// flight (certificate chain included) may have to fit whole.
constexpr size_t kInputSize = 64 * 1024;
constexpr size_t kMaxHostName = 255;  // longer names are no DNS names

// How long tls_close waits to hand over its close_notify.
constexpr int kCloseTimeoutSeconds = 1;

// SSL_EXTRA_CERT_CHAIN_POLICY_PARA.fdwChecks bits (wininet.h's
// SECURITY_FLAG_IGNORE_UNKNOWN_CA and _CERT_CN_INVALID). The first lets the
// policy pass a chain whose root is not in the system store, set only after
// the root was found to be one of ca_file's own; the second leaves the match
// of a dotted host to match_address.
constexpr DWORD kIgnoreUnknownCa = 0x00000100;
constexpr DWORD kIgnoreName = 0x00001000;

// Faults of a chain that no policy outcome may excuse. Wine's SSL policy
// passes a chain that ends without a root at all.
constexpr DWORD kChainFaults =
    CERT_TRUST_IS_PARTIAL_CHAIN | CERT_TRUST_IS_REVOKED |
    CERT_TRUST_IS_NOT_SIGNATURE_VALID | CERT_TRUST_IS_NOT_VALID_FOR_USAGE |
    CERT_TRUST_IS_CYCLIC | CERT_TRUST_INVALID_EXTENSION |
    CERT_TRUST_INVALID_BASIC_CONSTRAINTS | CERT_TRUST_INVALID_NAME_CONSTRAINTS |
    CERT_TRUST_IS_EXPLICIT_DISTRUST;

constexpr DWORD kContextRequest =
    ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
    ISC_REQ_EXTENDED_ERROR | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
    ISC_REQ_USE_SUPPLIED_CREDS | ISC_REQ_MANUAL_CRED_VALIDATION;

// The functions of secur32.dll and crypt32.dll this file calls, resolved by
// load_api. Every call below goes through g_api.
struct TlsApi {
  decltype(&::AcquireCredentialsHandleA) AcquireCredentialsHandleA;
  decltype(&::InitializeSecurityContextA) InitializeSecurityContextA;
  decltype(&::QueryContextAttributesA) QueryContextAttributesA;
  decltype(&::FreeContextBuffer) FreeContextBuffer;
  decltype(&::DeleteSecurityContext) DeleteSecurityContext;
  decltype(&::FreeCredentialsHandle) FreeCredentialsHandle;
  decltype(&::EncryptMessage) EncryptMessage;
  decltype(&::DecryptMessage) DecryptMessage;
  decltype(&::ApplyControlToken) ApplyControlToken;
  decltype(&::CertOpenStore) CertOpenStore;
  decltype(&::CertCloseStore) CertCloseStore;
  decltype(&::CryptStringToBinaryA) CryptStringToBinaryA;
  decltype(&::CertAddEncodedCertificateToStore) CertAddEncodedCertificateToStore;
  decltype(&::CertEnumCertificatesInStore) CertEnumCertificatesInStore;
  decltype(&::CertFreeCertificateContext) CertFreeCertificateContext;
  decltype(&::CertFindExtension) CertFindExtension;
  decltype(&::CryptDecodeObjectEx) CryptDecodeObjectEx;
  decltype(&::CertVerifyCertificateChainPolicy) CertVerifyCertificateChainPolicy;
  decltype(&::CertAddStoreToCollection) CertAddStoreToCollection;
  decltype(&::CertGetCertificateChain) CertGetCertificateChain;
  decltype(&::CertFreeCertificateChain) CertFreeCertificateChain;
};

static TlsApi g_api;

// Outcome of the one attempt at loading: 0 not tried yet, 1 loaded, -1
// failed with g_api_failure saying why (repeated by every tls_start).
static int g_api_state = 0;
static char g_api_failure[kTlsErrorSize];

// Loads a DLL of the system folder only, never one of the same name in the
// program's folder or the current one. LoadLibraryEx knows the System32
// search flag wherever AddDllDirectory exists (Windows 8 on, 7 with its
// update, Wine); elsewhere the full path does the same.
static HMODULE load_system_library(const char* name) {
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  if (kernel != nullptr && GetProcAddress(kernel, "AddDllDirectory") != nullptr) {
    return LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  }
  char path[MAX_PATH];
  UINT len = GetSystemDirectoryA(path, sizeof path);
  if (len == 0 || len + 1 + strlen(name) >= sizeof path) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return nullptr;
  }
  snprintf(path + len, sizeof path - len, "\\%s", name);
  return LoadLibraryA(path);
}

// Sets *out to the function `symbol` of `library`; on failure says which in
// g_api_failure.
template <typename Function>
static bool resolve(HMODULE library, const char* dll, const char* symbol,
                    Function* out) {
  FARPROC proc = GetProcAddress(library, symbol);
  if (proc == nullptr) {
    snprintf(g_api_failure, sizeof g_api_failure,
             "TLS library not available (%s: no function %s)", dll, symbol);
    return false;
  }
  // Through void*: a direct cast between function types draws a warning.
  *out = reinterpret_cast<Function>(reinterpret_cast<void*>(proc));
  return true;
}

static bool load_dll(const char* dll, HMODULE* out) {
  *out = load_system_library(dll);
  if (*out != nullptr) return true;
  snprintf(g_api_failure, sizeof g_api_failure,
           "TLS library not available (%s: error %lu)", dll,
           static_cast<unsigned long>(GetLastError()));
  return false;
}

// Loads both DLLs and resolves g_api, once per process. Returns false with
// the reason in `error` when that failed, now or before. The DLLs stay
// loaded until the process ends.
static bool load_api(char* error) {
  if (g_api_state == 0) {
    HMODULE secur32 = nullptr;
    HMODULE crypt32 = nullptr;
    TlsApi& a = g_api;
    const char* s = "secur32.dll";
    const char* c = "crypt32.dll";
    bool ok =
        load_dll(s, &secur32) &&
        resolve(secur32, s, "AcquireCredentialsHandleA", &a.AcquireCredentialsHandleA) &&
        resolve(secur32, s, "InitializeSecurityContextA", &a.InitializeSecurityContextA) &&
        resolve(secur32, s, "QueryContextAttributesA", &a.QueryContextAttributesA) &&
        resolve(secur32, s, "FreeContextBuffer", &a.FreeContextBuffer) &&
        resolve(secur32, s, "DeleteSecurityContext", &a.DeleteSecurityContext) &&
        resolve(secur32, s, "FreeCredentialsHandle", &a.FreeCredentialsHandle) &&
        resolve(secur32, s, "EncryptMessage", &a.EncryptMessage) &&
        resolve(secur32, s, "DecryptMessage", &a.DecryptMessage) &&
        resolve(secur32, s, "ApplyControlToken", &a.ApplyControlToken) &&
        load_dll(c, &crypt32) &&
        resolve(crypt32, c, "CertOpenStore", &a.CertOpenStore) &&
        resolve(crypt32, c, "CertCloseStore", &a.CertCloseStore) &&
        resolve(crypt32, c, "CryptStringToBinaryA", &a.CryptStringToBinaryA) &&
        resolve(crypt32, c, "CertAddEncodedCertificateToStore",
                &a.CertAddEncodedCertificateToStore) &&
        resolve(crypt32, c, "CertEnumCertificatesInStore", &a.CertEnumCertificatesInStore) &&
        resolve(crypt32, c, "CertFreeCertificateContext", &a.CertFreeCertificateContext) &&
        resolve(crypt32, c, "CertFindExtension", &a.CertFindExtension) &&
        resolve(crypt32, c, "CryptDecodeObjectEx", &a.CryptDecodeObjectEx) &&
        resolve(crypt32, c, "CertVerifyCertificateChainPolicy",
                &a.CertVerifyCertificateChainPolicy) &&
        resolve(crypt32, c, "CertAddStoreToCollection", &a.CertAddStoreToCollection) &&
        resolve(crypt32, c, "CertGetCertificateChain", &a.CertGetCertificateChain) &&
        resolve(crypt32, c, "CertFreeCertificateChain", &a.CertFreeCertificateChain);
    g_api_state = ok ? 1 : -1;
  }
  if (g_api_state > 0) return true;
  snprintf(error, kTlsErrorSize, "%s", g_api_failure);
  return false;
}

// Allocated with calloc, its buffers with malloc: the program does without
// the C++ runtime library (see tls.h).
struct TlsSession {
  SOCKET sock;
  CredHandle cred;
  CtxtHandle ctx;
  bool have_cred;
  bool have_ctx;
  bool peer_closed;
  SecPkgContext_StreamSizes sizes;
  char* in;  // kInputSize bytes; in_len of them hold received bytes
  size_t in_len;
  char* plain;  // decrypted, handed out from plain_pos on
  size_t plain_size;
  size_t plain_pos;
  size_t plain_len;
  char* out;  // one encrypted record being sent
  char description[64];
};

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

// The whole file at `path` in a malloc'd block (*length bytes), or null.
static char* read_file(const char* path, size_t* length) {
  FILE* f = fopen(path, "rb");
  if (f == nullptr) return nullptr;
  size_t capacity = 16384;
  size_t used = 0;
  char* text = static_cast<char*>(malloc(capacity));
  size_t n = 1;
  while (text != nullptr && n > 0) {
    if (used == capacity) {
      capacity *= 2;
      char* grown = static_cast<char*>(realloc(text, capacity));
      if (grown == nullptr) free(text);
      text = grown;
      if (text == nullptr) break;
    }
    n = fread(text + used, 1, capacity - used, f);
    used += n;
  }
  bool read_ok = text != nullptr && !ferror(f);
  fclose(f);
  if (!read_ok) {
    free(text);
    return nullptr;
  }
  *length = used;
  return text;
}

// The offset of `needle` in text[from, length), or `length` when it is not there.
static size_t find_text(const char* text, size_t length, size_t from, const char* needle) {
  size_t n = strlen(needle);
  for (size_t at = from; at + n <= length; ++at) {
    if (memcmp(text + at, needle, n) == 0) return at;
  }
  return length;
}

// Adds one PEM block to `store`. False when it is broken.
static bool add_pem_block(HCERTSTORE store, const char* block, DWORD block_len) {
  DWORD size = 0;
  if (!g_api.CryptStringToBinaryA(block, block_len, CRYPT_STRING_BASE64HEADER, nullptr, &size,
                                  nullptr, nullptr)) {
    return false;
  }
  BYTE* der = static_cast<BYTE*>(malloc(size > 0 ? size : 1));
  bool ok = der != nullptr &&
            g_api.CryptStringToBinaryA(block, block_len, CRYPT_STRING_BASE64HEADER, der, &size,
                                       nullptr, nullptr) &&
            g_api.CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, size,
                                                   CERT_STORE_ADD_ALWAYS, nullptr);
  free(der);
  return ok;
}

// Reads the PEM certificates of `path` into a new memory store. Returns null
// when the file cannot be read, holds no certificate, or holds a broken one.
static HCERTSTORE load_roots(const char* path) {
  size_t length = 0;
  char* text = read_file(path, &length);
  if (text == nullptr) return nullptr;
  static const char kBegin[] = "-----BEGIN CERTIFICATE-----";
  static const char kEnd[] = "-----END CERTIFICATE-----";
  HCERTSTORE store = g_api.CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  int added = 0;
  bool broken = store == nullptr;
  size_t pos = 0;
  while (!broken && (pos = find_text(text, length, pos, kBegin)) < length) {
    size_t end = find_text(text, length, pos, kEnd);
    broken = end == length;
    if (broken) break;
    end += sizeof kEnd - 1;
    broken = !add_pem_block(store, text + pos, static_cast<DWORD>(end - pos));
    added++;
    pos = end;
  }
  free(text);
  if (store != nullptr && (broken || added == 0)) {
    g_api.CertCloseStore(store, 0);
    store = nullptr;
  }
  return store;
}

// Whether the last certificate of the chain is, byte for byte, one of `roots`.
static bool root_is_listed(PCCERT_CHAIN_CONTEXT chain, HCERTSTORE roots) {
  if (chain->cChain == 0 || chain->rgpChain[0]->cElement == 0) return false;
  const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
  PCCERT_CONTEXT root = simple->rgpElement[simple->cElement - 1]->pCertContext;
  PCCERT_CONTEXT listed = nullptr;
  while ((listed = g_api.CertEnumCertificatesInStore(roots, listed)) != nullptr) {
    if (listed->cbCertEncoded == root->cbCertEncoded &&
        memcmp(listed->pbCertEncoded, root->pbCertEncoded,
               root->cbCertEncoded) == 0) {
      g_api.CertFreeCertificateContext(listed);
      return true;
    }
  }
  return false;
}

// Reads a dotted IPv4 address ("192.0.2.1": four decimal parts) into addr.
static bool parse_dotted(const char* host, BYTE addr[4]) {
  const char* p = host;
  for (int part = 0; part < 4; part++) {
    if (part > 0 && *p++ != '.') return false;
    int value = 0;
    int digits = 0;
    while (*p >= '0' && *p <= '9' && digits < 4) {
      value = value * 10 + (*p++ - '0');
      digits++;
    }
    if (digits == 0 || digits > 3 || value > 255) return false;
    addr[part] = static_cast<BYTE>(value);
  }
  return *p == '\0';
}

// Whether an IP address entry of the certificate's subjectAltName is addr.
// The policy does not look at those entries under Wine; the common name does
// not count for an address.
static bool match_address(PCCERT_CONTEXT cert, const BYTE addr[4]) {
  const CERT_INFO* info = cert->pCertInfo;
  PCERT_EXTENSION ext = g_api.CertFindExtension(szOID_SUBJECT_ALT_NAME2,
                                          info->cExtension, info->rgExtension);
  CERT_ALT_NAME_INFO* names = nullptr;
  DWORD size = 0;
  if (ext == nullptr ||
      !g_api.CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME,
                           ext->Value.pbData, ext->Value.cbData,
                           CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size)) {
    return false;
  }
  bool found = false;
  for (DWORD i = 0; i < names->cAltEntry && !found; i++) {
    const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
    found = entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS &&
            entry.IPAddress.cbData == 4 &&
            memcmp(entry.IPAddress.pbData, addr, 4) == 0;
  }
  LocalFree(names);
  return found;
}

static HRESULT ssl_policy(PCCERT_CHAIN_CONTEXT chain, const wchar_t* host,
                          DWORD checks) {
  SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl = {};
  ssl.cbSize = sizeof ssl;
  ssl.dwAuthType = AUTHTYPE_SERVER;
  ssl.fdwChecks = checks;
  ssl.pwszServerName = const_cast<wchar_t*>(host);
  CERT_CHAIN_POLICY_PARA para = {};
  para.cbSize = sizeof para;
  para.pvExtraPolicyPara = &ssl;
  CERT_CHAIN_POLICY_STATUS verdict = {};
  verdict.cbSize = sizeof verdict;
  if (!g_api.CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &para,
                                        &verdict)) {
    DWORD code = GetLastError();
    return code != 0 ? static_cast<HRESULT>(code) : CERT_E_CHAINING;
  }
  return static_cast<HRESULT>(verdict.dwError);
}

static void certificate_failure(HRESULT verdict, const char* host,
                                char* error) {
  switch (verdict) {
    case CERT_E_UNTRUSTEDROOT:
    case CERT_E_CHAINING:
      snprintf(error, kTlsErrorSize, "certificate not trusted");
      break;
    case CERT_E_CN_NO_MATCH:
      snprintf(error, kTlsErrorSize, "certificate name does not match %s",
               host);
      break;
    case CERT_E_EXPIRED:
      snprintf(error, kTlsErrorSize, "certificate expired");
      break;
    default:
      snprintf(error, kTlsErrorSize, "certificate refused (0x%08lx)",
               static_cast<unsigned long>(verdict));
      break;
  }
}

// The chain must lead to a root of the system store or of `roots` (may be
// null), be fit for a server, and name `host`.
static bool check_certificate(TlsSession* s, const char* host, HCERTSTORE roots,
                              char* error) {
  PCCERT_CONTEXT leaf = nullptr;
  if (g_api.QueryContextAttributesA(&s->ctx, SECPKG_ATTR_REMOTE_CERT_CONTEXT,
                              &leaf) != SEC_E_OK ||
      leaf == nullptr) {
    snprintf(error, kTlsErrorSize, "server sent no certificate");
    return false;
  }
  // The leaf's store holds the intermediates the server sent.
  HCERTSTORE extra = leaf->hCertStore;
  HCERTSTORE both = nullptr;
  if (roots != nullptr) {
    both = g_api.CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr);
    if (both != nullptr) {
      g_api.CertAddStoreToCollection(both, leaf->hCertStore, 0, 0);
      g_api.CertAddStoreToCollection(both, roots, 0, 0);
      extra = both;
    }
  }
  static char kServerAuth[] = szOID_PKIX_KP_SERVER_AUTH;
  char* usages[] = {kServerAuth};
  CERT_CHAIN_PARA para = {};
  para.cbSize = sizeof para;
  para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  para.RequestedUsage.Usage.cUsageIdentifier = 1;
  para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  bool built = g_api.CertGetCertificateChain(nullptr, leaf, nullptr, extra, &para, 0,
                                       nullptr, &chain) &&
               chain != nullptr;
  HRESULT verdict = CERT_E_CHAINING;
  if (built) {
    DWORD status = chain->TrustStatus.dwErrorStatus;
    bool untrusted = (status & CERT_TRUST_IS_UNTRUSTED_ROOT) != 0;
    bool listed = untrusted && roots != nullptr && root_is_listed(chain, roots);
    BYTE addr[4];
    bool dotted = parse_dotted(host, addr);
    DWORD checks = (listed ? kIgnoreUnknownCa : 0) | (dotted ? kIgnoreName : 0);
    // Host names are ASCII: each byte widens to one wide character.
    wchar_t wide_host[kMaxHostName + 1];
    size_t host_length = strlen(host);
    if (host_length > kMaxHostName) host_length = kMaxHostName;
    for (size_t i = 0; i < host_length; ++i) {
      wide_host[i] = static_cast<wchar_t>(static_cast<unsigned char>(host[i]));
    }
    wide_host[host_length] = L'\0';
    verdict = ssl_policy(chain, wide_host, checks);
    // The policy judges first, so that its order of complaints holds; what
    // it may let pass is checked here.
    if (verdict == 0 && untrusted && !listed) verdict = CERT_E_UNTRUSTEDROOT;
    if (verdict == 0 && (status & kChainFaults)) verdict = CERT_E_CHAINING;
    if (verdict == 0 && (status & CERT_TRUST_IS_NOT_TIME_VALID)) {
      verdict = CERT_E_EXPIRED;
    }
    if (verdict == 0 && dotted && !match_address(leaf, addr)) {
      verdict = CERT_E_CN_NO_MATCH;
    }
    g_api.CertFreeCertificateChain(chain);
  }
  if (both != nullptr) g_api.CertCloseStore(both, 0);
  g_api.CertFreeCertificateContext(leaf);
  if (verdict == 0) return true;
  certificate_failure(verdict, host, error);
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
  if (!load_api(error)) return nullptr;
  HCERTSTORE roots = nullptr;
  if (ca_file != nullptr && ca_file[0] != '\0') {
    roots = load_roots(ca_file);
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
            check_certificate(s, host, roots, error);
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
