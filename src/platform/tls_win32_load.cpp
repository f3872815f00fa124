// secur32.dll and crypt32.dll, loaded from the system folder on the first
// tls_start.
#include "platform/tls_win32.h"

TlsApi g_api;

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
bool tls_load_api(char* error) {
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
