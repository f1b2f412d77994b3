// The greylisting decision on the session's result. Never returns.
#pragma once

#include "session.h"
#include "store.h"

// The store is closed before the relay or the end.
[[noreturn]] void greylist_decision(const SessionResult& result, Store& store);
