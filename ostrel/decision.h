// The greylisting decision on the session's result. Never returns.
#pragma once

[[noreturn]] void greylist_decision(int result);
