// The client's side of the connection on the greylisting road: clear text on
// descriptors 0 and 1, or TLS on them once ostrel itself has taken the
// client's STARTTLS. The session and the decision speak to the client only
// through these; every failure is logged and ends the process.
#pragma once

#include <cstddef>

// Loads the certificate chain named by TLSCERT and the key named by TLSKEY
// (from TLSCERT when unset), if TLSCERT is set. A file (or the library)
// that cannot be loaded gets one log line, and TLS is unusable for the
// connection: STARTTLS is then neither offered nor passed to the server.
void client_tls_setup();

// ostrel takes STARTTLS itself: the context is loaded and TLS is not on yet.
[[nodiscard]] bool client_tls_offered();
// TLSCERT is set but could not be loaded: ostrel refuses STARTTLS itself.
[[nodiscard]] bool client_tls_unusable();
// TLS is on, or prepared for the answer to STARTTLS.
[[nodiscard]] bool client_tls_active();

// Reads one line from the client, as get_line does on descriptor 0.
std::size_t client_get_line(char* line, std::size_t len);

// Reads at least one and at most len bytes from the client, whatever they
// hold, waiting and failing as client_get_line does.
std::size_t client_read_some(char* data, std::size_t len);

// Sends to the client, in clear text or through TLS, waiting for room at
// most the wait limit at a time; a client that takes nothing for that long
// ends the process (100) with "Write timeout reached for socket %d, client
// %s" (6). Other failures are left to the next read.
void client_send(const char* data, std::size_t len);

// Makes what TLS needs before STARTTLS is answered: the server context
// (built at the first STARTTLS) and the connection on the client's
// descriptors. False, with one log line, when the library cannot; the
// caller then refuses STARTTLS.
[[nodiscard]] bool client_prepare_tls();

// Answers STARTTLS with "454 4.7.0 TLS not available due to temporary
// reason" in clear text; a prepared connection is dropped, and the session
// goes on in clear text.
void client_refuse_tls();

// After client_prepare_tls: answers STARTTLS ("220 2.0.0 Ready to start
// TLS") and runs the server side of the handshake, bounded as a whole by the
// wait limit. Returns once TLS is on; a failed handshake is logged and ends
// the process (100).
void client_start_tls();

// Ends the client's output: close_notify inside TLS, then descriptor 1 is
// closed.
void client_close_output();

// After client_close_output, the end of a TCP connection: its sending side
// is shut (the client sees the end now, though descriptor 0 holds the same
// socket open), and what the client still sends is read and discarded until
// its end of input (or a reset), at most limit_ms in all. A TCP connection
// closed while bytes of the client lie unread is reset by the kernel, and a
// reset that reaches the client before it has read the last reply can take
// that reply with it. Inside TLS the bytes are not decrypted: the TLS
// connection has ended on this side. Any other kind of connection (a pipe,
// a local socket) has no reset to fear and is left as it is.
void client_linger(int limit_ms);

// Carries the rest of the connection between the client and the server
// program's pipes until it ends; the process ends there. server_owes_reply:
// the last bytes before the relay went to the server (see relay_traffic).
[[noreturn]] void client_relay(bool server_owes_reply);

// Forgets the TLS connection, the context and the credentials. A process serves one
// connection; only a harness that runs many sessions in one process needs it.
void client_side_reset();
