#include "tls_credentials.h"

#include <cstring>

namespace {

struct BioFree {
  void operator()(BIO* bio) const noexcept { openssl().BIO_free(bio); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;

// A key that needs a passphrase is refused instead of asking a terminal.
extern "C" int no_passphrase(char*, int, int, void*) noexcept { return 0; }

TlsCredentials credentials_failure(TlsLoad status) { return {nullptr, nullptr, nullptr, status, take_tls_error()}; }

// The first certificate of the file, and every one after it. The end of
// the file shows as a "no start line" error, which is no failure.
bool read_chain(const char* path, X509Ptr& leaf, X509StackPtr& chain) {
  BioPtr bio(openssl().BIO_new_file(path, "r"));
  if (!bio) return false;
  leaf.reset(openssl().PEM_read_bio_X509_AUX(bio.get(), nullptr, no_passphrase, nullptr));
  chain.reset(reinterpret_cast<STACK_OF(X509)*>(openssl().OPENSSL_sk_new_null()));
  if (!leaf || !chain) return false;
  while (X509* next = openssl().PEM_read_bio_X509(bio.get(), nullptr, no_passphrase, nullptr)) {
    if (openssl().OPENSSL_sk_push(reinterpret_cast<OPENSSL_STACK*>(chain.get()), next) == 0) {
      openssl().X509_free(next);
      return false;
    }
  }
  unsigned long last = openssl().ERR_peek_last_error();
  if (ERR_GET_LIB(last) != ERR_LIB_PEM || ERR_GET_REASON(last) != PEM_R_NO_START_LINE) return false;
  openssl().ERR_clear_error();
  return true;
}

PkeyPtr read_key(const char* path) {
  BioPtr bio(openssl().BIO_new_file(path, "r"));
  if (!bio) return nullptr;
  return PkeyPtr(openssl().PEM_read_bio_PrivateKey(bio.get(), nullptr, no_passphrase, nullptr));
}

}  // namespace

std::string take_tls_error() {
  unsigned long code = openssl().ERR_get_error();
  openssl().ERR_clear_error();
  if (code == 0) return "";
  if (ERR_SYSTEM_ERROR(code)) return std::strerror(static_cast<int>(ERR_GET_REASON(code)));
  const char* reason = openssl().ERR_reason_error_string(code);
  if (reason != nullptr) return reason;
  char text[256];
  openssl().ERR_error_string_n(code, text, sizeof text);
  return text;
}

TlsCredentials load_tls_credentials(const char* cert_path, const char* key_path) {
  if (openssl_load() == nullptr) return {nullptr, nullptr, nullptr, TlsLoad::library, openssl_load_error()};
  openssl().ERR_clear_error();
  TlsCredentials loaded{nullptr, nullptr, nullptr, TlsLoad::loaded, ""};
  if (!read_chain(cert_path, loaded.leaf, loaded.chain)) return credentials_failure(TlsLoad::certificate);
  loaded.key = read_key(key_path != nullptr ? key_path : cert_path);
  if (!loaded.key) return credentials_failure(TlsLoad::key);
  if (openssl().X509_check_private_key(loaded.leaf.get(), loaded.key.get()) != 1)
    return credentials_failure(TlsLoad::mismatch);
  return loaded;
}
