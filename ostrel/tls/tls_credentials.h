// The certificate chain and private key of ostrel's STARTTLS, read from
// their files and checked to belong together: what ostrel loads for a
// connection and `ostrelctl check` loads to find a bad pair before a client
// does. A library of its own, beside the OpenSSL table, so that ostrelctl
// links only this part of ostrel's TLS.
// Nothing here logs or ends the process.
#pragma once

#include <openssl/ssl.h>

#include <memory>
#include <string>

#include "openssl_api.h"

// The owners free through the loaded library, which made every object.
struct X509Free {
  void operator()(X509* cert) const noexcept { openssl().X509_free(cert); }
};
struct X509StackFree {
  void operator()(STACK_OF(X509) * certs) const noexcept {
    openssl().OPENSSL_sk_pop_free(reinterpret_cast<OPENSSL_STACK*>(certs),
                                  reinterpret_cast<OPENSSL_sk_freefunc>(openssl().X509_free));
  }
};
struct PkeyFree {
  void operator()(EVP_PKEY* key) const noexcept { openssl().EVP_PKEY_free(key); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;
using X509StackPtr = std::unique_ptr<STACK_OF(X509), X509StackFree>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;

enum class TlsLoad { loaded, library, certificate, key, mismatch };

// The certificate chain and its private key, read from their files.
struct TlsCredentials {
  X509Ptr leaf;        // these three are set only when status is loaded
  X509StackPtr chain;  // the certificates after the first, in file order
  PkeyPtr key;
  TlsLoad status;
  std::string detail;  // what went wrong, for the log line
};

// Loads the TLS library (status library when it cannot be loaded), then
// reads the PEM certificate chain at cert_path and the private key at
// key_path (from cert_path when key_path is null; a key that needs a
// passphrase is refused) and checks that they belong together. Cheaper than
// a context: a connection that never starts TLS pays no more than this.
[[nodiscard]] TlsCredentials load_tls_credentials(const char* cert_path, const char* key_path);

// The text of the oldest error in the library's queue ("" when there is
// none); empties the queue.
[[nodiscard]] std::string take_tls_error();
