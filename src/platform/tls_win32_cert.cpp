// The server certificate check of the Windows TLS half, with crypt32.
#include "platform/tls_win32.h"

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

HCERTSTORE tls_load_roots(const char* path) {
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
// Host names are ASCII: each byte widens to one wide character (at most
// kMaxHostName of them).
static void widen_host(const char* host, wchar_t* out) {
  size_t length = strlen(host);
  if (length > kMaxHostName) length = kMaxHostName;
  for (size_t i = 0; i < length; ++i) {
    out[i] = static_cast<wchar_t>(static_cast<unsigned char>(host[i]));
  }
  out[length] = L'\0';
}

bool tls_check_certificate(TlsSession* s, const char* host, HCERTSTORE roots,
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
    wchar_t wide_host[kMaxHostName + 1];
    widen_host(host, wide_host);
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
