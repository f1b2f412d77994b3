// The greylisting decision on the session's result. Never returns.
#pragma once

#include "session.h"

[[noreturn]] void greylist_decision(const SessionResult& result);
