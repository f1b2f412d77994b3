// The greylisting decision on the session's result. Never returns.
#pragma once

#include "session.h"

// held is the line the session kept from the server (SESSION_HELD only).
[[noreturn]] void greylist_decision(int result, const HeldLine& held);
