// Puts the first certificate of a PEM file into the LocalMachine ROOT store
// of the Windows (or Wine prefix) it runs on, or with -d takes it out again,
// so that tests can reach the system-store path of certificate checks.
//   add_root_cert.exe [-d] CA.pem

#include <stdio.h>
#include <string.h>
#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <vector>

int main(int argc, char** argv) {
  bool remove = argc == 3 && strcmp(argv[1], "-d") == 0;
  if (argc != 2 && !remove) {
    fprintf(stderr, "usage: add_root_cert [-d] CA.pem\n");
    return 2;
  }
  const char* path = argv[argc - 1];
  FILE* f = fopen(path, "rb");
  std::string pem;
  char chunk[4096];
  size_t n = 0;
  while (f != nullptr && (n = fread(chunk, 1, sizeof chunk, f)) > 0) {
    pem.append(chunk, n);
  }
  if (f != nullptr) fclose(f);
  DWORD size = 0;
  std::vector<BYTE> der;
  bool ok = CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()),
                                 CRYPT_STRING_BASE64HEADER, nullptr, &size,
                                 nullptr, nullptr);
  if (ok) {
    der.resize(size);
    ok = CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()),
                              CRYPT_STRING_BASE64HEADER, der.data(), &size,
                              nullptr, nullptr);
  }
  HCERTSTORE root = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0,
                                  CERT_SYSTEM_STORE_LOCAL_MACHINE, "ROOT");
  PCCERT_CONTEXT cert =
      ok ? CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), size)
         : nullptr;
  if (root == nullptr || cert == nullptr) {
    fprintf(stderr, "add_root_cert: cannot use %s or the ROOT store\n", path);
    return 1;
  }
  if (remove) {
    // Wine 8 reports CertDeleteCertificateFromStore on this store as done
    // and keeps the certificate, so the registry entry it lives in, named
    // by the SHA-1 thumbprint, goes instead.
    BYTE hash[20];
    DWORD hash_size = sizeof hash;
    ok = CertGetCertificateContextProperty(cert, CERT_SHA1_HASH_PROP_ID, hash,
                                           &hash_size);
    std::string key =
        "Software\\Microsoft\\SystemCertificates\\ROOT\\Certificates\\";
    for (DWORD i = 0; ok && i < hash_size; i++) {
      char hex[3];
      snprintf(hex, sizeof hex, "%02X", hash[i]);
      key += hex;
    }
    ok = ok && RegDeleteKeyA(HKEY_LOCAL_MACHINE, key.c_str()) == ERROR_SUCCESS;
  } else {
    ok = CertAddCertificateContextToStore(
        root, cert, CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  }
  CertFreeCertificateContext(cert);
  CertCloseStore(root, 0);
  if (!ok) {
    fprintf(stderr, "add_root_cert: %s failed (error %lu)\n",
            remove ? "removal" : "addition", GetLastError());
  }
  return ok ? 0 : 1;
}
