// Built instead of the PostgreSQL engine when its support is left out.
#include "store_engine.h"

std::unique_ptr<Store> make_postgres_store(const char* /*uri*/, std::string& unsupported) {
  unsupported = "this ostrel was built without PostgreSQL support";
  return nullptr;
}
