// The process-wide records of one ostrel connection. Each lives for the
// whole process; nothing in them is freed before exit. Beside each field:
// which files write it (w:) and which read it (r:). The greylist library
// touches none of them: it takes its values as arguments and gives its
// findings back.
//
// What stays global, and why: the signal handlers and the exit handler of
// main.cc run outside the road of any call and can be handed nothing, so
// what they need is here: `client_metainfo.addr` (named in their lines and
// in those of every read or write that ends the process), `pipe_to_server`
// (the exit handler ends the server's input). The client's other facts sit
// beside addr in the same record, but the session, the decision and the
// rules are handed it as a parameter and never reach for the global; the
// envelope is no global at all. `buf` and `srvresp` are fixed-size buffers
// whose sizes are part of the behaviour (relay chunks, the held-back
// reply), shared rather than allocated per step.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "relay_io.h"   // client_in, client_out: the client connection
#include "suspicion.h"  // CMDERRS_*: the class of the latest error reply of the server

// Bits of ClientMetainfo::validity: which facts have been established.
enum : std::uint32_t {
  VALID_HOSTNAME = 0x01,
  VALID_GREETDELAY = 0x02,
  VALID_NUMATTEMPTS = 0x04,
  VALID_ATTEMPTSINTRV = 0x08,
  VALID_NUMPENDINGDELIVS = 0x10,
  VALID_CMDERRS = 0x20,
};

struct ClientMetainfo {
  // TCPREMOTEIP itself. w: main (start-up). r: the lines of main, signals,
  // line_reader, sending, client_side, connection_limit, store_key and
  // decision; rules (a fact).
  const char* addr = nullptr;
  // What the store keys the client's rows on: its address in canonical form,
  // or its network; addr itself when that is no IP address.
  // w: store_key (start-up). r: main, connection_limit and decision
  // (handed to the store and the connection slots).
  const char* key = nullptr;
  // TCPREMOTEHOST. w and r: rules (fetched when the rules run).
  const char* hostname = nullptr;
  // w: greet_delay. r: decision (log line), rules.
  std::uint32_t greetdelay_trapped = 0;
  // From the pending lookup's row. w: decision. r: decision, rules.
  std::uint32_t numattempts = 0;
  std::uint32_t attemptsintrv = 0;
  // Never filled; r: decision (log line).
  std::uint32_t numpendingdelivs = 0;
  // w: session. r: decision (log line), rules.
  std::uint32_t cmderrs = 0;
  // w: greet_delay, session, decision, rules (each its own bits).
  // r: rules.
  std::uint32_t validity = 0;
};

inline constexpr std::size_t envelope_field_size = 512;
inline constexpr std::size_t text_buffer_size = 1024;

// What the client said: made by main for the session, which fills it in,
// and handed on to the decision and the suspicion rules. It is no global:
// the signal and exit path never reads it.
struct Envelope {
  std::array<char, envelope_field_size> helo{};
  std::array<char, envelope_field_size> from{};
  std::array<char, envelope_field_size> to{};
};

extern ClientMetainfo client_metainfo;

// Scratch space for the relay's chunks, the temporary-failure reply and
// what a client still sends after it (client_side's linger). Written and
// read by each of them (relay, decision, client_side) within one step;
// nothing in it outlives the step that wrote it.
extern std::array<char, text_buffer_size> buf;

// The server reply line read last, and how many bytes it holds.
// w: session. r: session, decision (the held-back reply).
extern std::array<char, text_buffer_size> srvresp;
extern std::size_t srvresp_len;

// Read end [0] and write end [1]; -1 while closed or not made.
// w: main (made, child's ends closed), server_end (close_server_input: the
// write end, for the decision, the relays and the signal path), the TLS
// relay (the write end at the client's end of input). r: session, sending,
// decision, relay, client_side, main's exit handler.
extern int pipe_to_server[2];
extern int pipe_from_server[2];

// TCPLOCALHOST. w: main. r: session (the reply to QUIT).
extern const char* local_hostname;

// Ends the process through the normal exit path, so the exit handler runs.
[[noreturn]] void terminate_process(int status);
