// OpenSSL as ostrel uses it, loaded with dlopen the first time TLS is
// configured (TLSCERT set), so that a connection without TLS maps, relocates
// and pays for none of it. Only this table may call into the library.
#pragma once

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "dl_table.h"

// The functions of the library that ostrel uses, named once.
// clang-format off
#define OPENSSL_FUNCTIONS(F)                                                                                     \
  F(BIO_new_file) F(BIO_free) F(PEM_read_bio_X509_AUX) F(PEM_read_bio_X509) F(PEM_read_bio_PrivateKey)          \
  F(OPENSSL_sk_new_null) F(OPENSSL_sk_push) F(OPENSSL_sk_pop_free) F(X509_free) F(X509_check_private_key)       \
  F(EVP_PKEY_free) F(ERR_get_error) F(ERR_peek_error) F(ERR_peek_last_error) F(ERR_clear_error)                 \
  F(ERR_reason_error_string) F(ERR_error_string_n) F(TLS_server_method) F(SSL_CTX_new) F(SSL_CTX_free)         \
  F(SSL_CTX_ctrl) F(SSL_CTX_set_options) F(SSL_CTX_set_num_tickets) F(SSL_CTX_use_certificate)                 \
  F(SSL_CTX_use_PrivateKey) F(SSL_CTX_check_private_key) F(SSL_new) F(SSL_free) F(SSL_ctrl) F(SSL_set_rfd)     \
  F(SSL_set_wfd) F(SSL_get_error) F(SSL_accept) F(SSL_read) F(SSL_write) F(SSL_pending) F(SSL_is_init_finished) \
  F(SSL_shutdown) F(SSL_get_version) F(SSL_get_current_cipher) F(SSL_CIPHER_get_name)
// clang-format on

struct OpensslApi {
  OPENSSL_FUNCTIONS(DL_TABLE_ENTRY)
};

// Loads the library the first time (later calls give the same answer):
// the table, or null when it cannot be loaded; why is then in
// openssl_load_error().
[[nodiscard]] const OpensslApi* openssl_load();
[[nodiscard]] const char* openssl_load_error();

// The loaded table; only for code that runs after openssl_load succeeded
// (every OpenSSL object was made through it).
[[nodiscard]] const OpensslApi& openssl();
