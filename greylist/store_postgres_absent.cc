// Built instead of the PostgreSQL engine when its support is left out.
#include "store_engine.h"

const StoreEngine* const postgres_engine = nullptr;

int postgres_statement_deadline_ms = 0;
