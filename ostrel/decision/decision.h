// The greylisting decision on the session's result. Never returns.
#pragma once

#include "decision_settings.h"
#include "session.h"
#include "store.h"

// The store is closed before the relay or the end. The decision records the
// pending row's facts (numattempts, attemptsintrv) in client, and follows
// settings (the minimum delay, the reply, the cleanups' ages).
[[noreturn]] void greylist_decision(const SessionResult& result, const Envelope& envelope, ClientMetainfo& client,
                                    Store& store, const DecisionSettings& settings);
