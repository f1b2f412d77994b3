// The engines behind the store's interface, as store_for() makes them.
#pragma once

#include <memory>
#include <string>

#include "store.h"

// An SQLite file at path.
[[nodiscard]] std::unique_ptr<Store> make_sqlite_store(const char* path);

// A PostgreSQL database named by uri; null, with why, when this build left
// PostgreSQL out.
[[nodiscard]] std::unique_ptr<Store> make_postgres_store(const char* uri, std::string& unsupported);
