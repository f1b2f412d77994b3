#include "openssl_api.h"

#include <string>

namespace {

// The run-time name of the library of the OpenSSL 3 the program was built
// against; libcrypto comes with it, and dlsym finds its symbols too.
constexpr const char* library_name = "libssl.so.3";

OpensslApi api{};
bool tried = false;
bool loaded = false;
std::string load_error;

bool bind_all(void* library, OpensslApi& table) { return true OPENSSL_FUNCTIONS(DL_TABLE_BIND); }

}  // namespace

const OpensslApi* openssl_load() {
  if (!tried) {
    tried = true;
    DlLoad load = dl_load_table(library_name, [](void* library) { return bind_all(library, api); });
    loaded = load.status == DlStatus::loaded;
    load_error = load.error;
  }
  return loaded ? &api : nullptr;
}

const char* openssl_load_error() { return load_error.c_str(); }

const OpensslApi& openssl() { return api; }
