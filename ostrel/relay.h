// The transparent two-way relay between the client and the SMTP server.
#pragma once

// Copies bytes between the client (descriptors 0 and 1) and the server (the
// pipes) in chunks of at most 1024 bytes. The end of the client's input
// closes the server's input, and the server's replies are still carried
// until the server's output ends; the end of the server's output ends the
// relay. Every wait, for input or for room to write (descriptor 1 and the
// server's input are non-blocking since the dialogue began), lasts at most
// 40 seconds. Never returns: the process ends here with status 0 or, on a
// time-out, 100.
[[noreturn]] void relay_traffic();

// Logs, at level 7, how the server program ended, if it has; never waits.
void report_child_state();
