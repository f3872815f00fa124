#pragma once
// What the files of the Windows TLS half share: the functions of
// secur32.dll and crypt32.dll (resolved on the first tls_start), the session
// record and the certificate check. Included by tls_win32*.cpp only.

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <winsock.h>
#define SECURITY_WIN32
#include <wincrypt.h>
#include <schannel.h>
#include <security.h>

#include "platform/tls.h"

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

// Every call into the two DLLs goes through it (tls_win32_load.cpp fills it).
extern TlsApi g_api;

// Loads both DLLs and resolves g_api, once per process. False with the
// reason in `error` (kTlsErrorSize bytes), the same at every later call.
bool tls_load_api(char* error);

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

// Reads the PEM certificates of `path` into a new memory store. Returns null
// when the file cannot be read, holds no certificate, or holds a broken one.
HCERTSTORE tls_load_roots(const char* path);

// Checks the server's certificate of the finished handshake: its chain must
// lead to a root of the system's store or of `roots` (may be null), and it
// must carry `host`. False with the reason in `error` (kTlsErrorSize bytes).
bool tls_check_certificate(TlsSession* s, const char* host, HCERTSTORE roots, char* error);
