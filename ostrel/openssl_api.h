// OpenSSL as ostrel uses it, loaded with dlopen the first time TLS is
// configured (TLSCERT set), so that a connection without TLS maps, relocates
// and pays for none of it. Only this table may call into the library.
#pragma once

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

struct OpensslApi {
  decltype(&::BIO_new_file) BIO_new_file;
  decltype(&::BIO_free) BIO_free;
  decltype(&::PEM_read_bio_X509_AUX) PEM_read_bio_X509_AUX;
  decltype(&::PEM_read_bio_X509) PEM_read_bio_X509;
  decltype(&::PEM_read_bio_PrivateKey) PEM_read_bio_PrivateKey;
  decltype(&::OPENSSL_sk_new_null) OPENSSL_sk_new_null;
  decltype(&::OPENSSL_sk_push) OPENSSL_sk_push;
  decltype(&::OPENSSL_sk_pop_free) OPENSSL_sk_pop_free;
  decltype(&::X509_free) X509_free;
  decltype(&::X509_check_private_key) X509_check_private_key;
  decltype(&::EVP_PKEY_free) EVP_PKEY_free;
  decltype(&::ERR_get_error) ERR_get_error;
  decltype(&::ERR_peek_error) ERR_peek_error;
  decltype(&::ERR_peek_last_error) ERR_peek_last_error;
  decltype(&::ERR_clear_error) ERR_clear_error;
  decltype(&::ERR_reason_error_string) ERR_reason_error_string;
  decltype(&::ERR_error_string_n) ERR_error_string_n;
  decltype(&::TLS_server_method) TLS_server_method;
  decltype(&::SSL_CTX_new) SSL_CTX_new;
  decltype(&::SSL_CTX_free) SSL_CTX_free;
  decltype(&::SSL_CTX_ctrl) SSL_CTX_ctrl;
  decltype(&::SSL_CTX_set_options) SSL_CTX_set_options;
  decltype(&::SSL_CTX_set_num_tickets) SSL_CTX_set_num_tickets;
  decltype(&::SSL_CTX_use_certificate) SSL_CTX_use_certificate;
  decltype(&::SSL_CTX_use_PrivateKey) SSL_CTX_use_PrivateKey;
  decltype(&::SSL_CTX_check_private_key) SSL_CTX_check_private_key;
  decltype(&::SSL_new) SSL_new;
  decltype(&::SSL_free) SSL_free;
  decltype(&::SSL_ctrl) SSL_ctrl;
  decltype(&::SSL_set_rfd) SSL_set_rfd;
  decltype(&::SSL_set_wfd) SSL_set_wfd;
  decltype(&::SSL_get_error) SSL_get_error;
  decltype(&::SSL_accept) SSL_accept;
  decltype(&::SSL_read) SSL_read;
  decltype(&::SSL_write) SSL_write;
  decltype(&::SSL_pending) SSL_pending;
  decltype(&::SSL_is_init_finished) SSL_is_init_finished;
  decltype(&::SSL_shutdown) SSL_shutdown;
  decltype(&::SSL_get_version) SSL_get_version;
  decltype(&::SSL_get_current_cipher) SSL_get_current_cipher;
  decltype(&::SSL_CIPHER_get_name) SSL_CIPHER_get_name;
};

// Loads the library the first time (later calls give the same answer):
// the table, or null when it cannot be loaded; why is then in
// openssl_load_error().
[[nodiscard]] const OpensslApi* openssl_load();
[[nodiscard]] const char* openssl_load_error();

// The loaded table; only for code that runs after openssl_load succeeded
// (every OpenSSL object was made through it).
[[nodiscard]] const OpensslApi& openssl();
