// The greylisting decision on the session's result. Never returns.
#pragma once

#include "session.h"
#include "store.h"

// The store is closed before the relay or the end. The decision records the
// pending row's facts (numattempts, attemptsintrv) in client.
[[noreturn]] void greylist_decision(const SessionResult& result, const Envelope& envelope, ClientMetainfo& client,
                                    Store& store);
