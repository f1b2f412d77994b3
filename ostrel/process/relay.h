// The transparent two-way relay between the client and the SMTP server.
#pragma once

// The longest wait for a reply the server owes: none of the relay's own.
// The process's alarm (480 seconds from start-up) ends it.
inline constexpr int owed_reply_wait_ms = -1;

// Copies bytes between the client (descriptors 0 and 1) and the server (the
// pipes) in chunks of at most 1024 bytes. The end of the client's input
// closes the server's input, and the server's replies are still carried
// until the server's output ends; the end of the server's output ends the
// relay. A wait for the client's input, or for room to write (descriptor 1
// and the server's input are non-blocking since the dialogue began), lasts
// at most 40 seconds; while the server owes a reply (the last bytes came
// from the client; server_owes_reply at the start), the wait for input lasts
// until the process's alarm. A client that has hung up is met as an orderly
// end, without a line. Never returns: the process ends here with status 0
// or, on a time-out, 100.
[[noreturn]] void relay_traffic(bool server_owes_reply);

// Logs, at level 7, how the server program ended, if it has; never waits.
void report_child_state();
