#include "openssl_api.h"

#include <dlfcn.h>

namespace {

// The run-time name of the library of the OpenSSL 3 the program was built
// against; libcrypto comes with it, and dlsym finds its symbols too.
constexpr const char* library_name = "libssl.so.3";

OpensslApi api{};
bool tried = false;
bool loaded = false;
const char* load_error = "";

template <typename Function>
bool bind(void* library, Function& slot, const char* name) {
  slot = reinterpret_cast<Function>(dlsym(library, name));
  if (slot == nullptr) load_error = dlerror();
  return slot != nullptr;
}

bool bind_all(void* library) {
#define OSTREL_BIND(name) bind(library, api.name, #name)
  return OSTREL_BIND(BIO_new_file) && OSTREL_BIND(BIO_free) && OSTREL_BIND(PEM_read_bio_X509_AUX) &&
         OSTREL_BIND(PEM_read_bio_X509) && OSTREL_BIND(PEM_read_bio_PrivateKey) && OSTREL_BIND(OPENSSL_sk_new_null) &&
         OSTREL_BIND(OPENSSL_sk_push) && OSTREL_BIND(OPENSSL_sk_pop_free) && OSTREL_BIND(X509_free) &&
         OSTREL_BIND(X509_check_private_key) && OSTREL_BIND(EVP_PKEY_free) && OSTREL_BIND(ERR_get_error) &&
         OSTREL_BIND(ERR_peek_error) && OSTREL_BIND(ERR_peek_last_error) && OSTREL_BIND(ERR_clear_error) &&
         OSTREL_BIND(ERR_reason_error_string) && OSTREL_BIND(ERR_error_string_n) && OSTREL_BIND(TLS_server_method) &&
         OSTREL_BIND(SSL_CTX_new) && OSTREL_BIND(SSL_CTX_free) && OSTREL_BIND(SSL_CTX_ctrl) &&
         OSTREL_BIND(SSL_CTX_set_options) && OSTREL_BIND(SSL_CTX_set_num_tickets) &&
         OSTREL_BIND(SSL_CTX_use_certificate) && OSTREL_BIND(SSL_CTX_use_PrivateKey) &&
         OSTREL_BIND(SSL_CTX_check_private_key) && OSTREL_BIND(SSL_new) && OSTREL_BIND(SSL_free) &&
         OSTREL_BIND(SSL_ctrl) && OSTREL_BIND(SSL_set_rfd) && OSTREL_BIND(SSL_set_wfd) && OSTREL_BIND(SSL_get_error) &&
         OSTREL_BIND(SSL_accept) && OSTREL_BIND(SSL_read) && OSTREL_BIND(SSL_write) && OSTREL_BIND(SSL_pending) &&
         OSTREL_BIND(SSL_is_init_finished) && OSTREL_BIND(SSL_shutdown) && OSTREL_BIND(SSL_get_version) &&
         OSTREL_BIND(SSL_get_current_cipher) && OSTREL_BIND(SSL_CIPHER_get_name);
#undef OSTREL_BIND
}

}  // namespace

const OpensslApi* openssl_load() {
  if (!tried) {
    tried = true;
    // Never unloaded: the library's own exit handlers stay valid.
    void* library = dlopen(library_name, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr)
      load_error = dlerror();
    else
      loaded = bind_all(library);
  }
  return loaded ? &api : nullptr;
}

const char* openssl_load_error() { return load_error != nullptr ? load_error : "unknown error"; }

const OpensslApi& openssl() { return api; }
