// The greylisting decision on the session's result. Never returns.
#pragma once

#include "decision_settings.h"
#include "session.h"
#include "store.h"

// The store is closed before the relay or the end.
[[noreturn]] void greylist_decision(const SessionResult& result, Store& store, const DecisionSettings& settings);
