// The process-wide records of one ostrel connection. Each lives for the
// whole process; nothing in them is freed before exit. Beside each field:
// which module writes it (w:) and which reads it (r:). The store (store.cc)
// touches none of them except `buf`: it takes its values as arguments and
// gives its findings back.
//
// What stays global, and why: the signal handlers and the exit handler of
// main.cc run outside the road of any call and can be handed nothing, so
// what they need is here: `client_metainfo.addr` (named in their log
// lines), `pipe_to_server` (the exit handler ends the server's input). The
// store's open handle is kept by the store itself for the exit handler.
// `buf` and `srvresp` are fixed-size buffers whose sizes are part of the
// behaviour (statement length checks, relay chunks), shared rather than
// allocated per step.
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
  // TCPREMOTEIP itself. w: main (start-up). r: suspicion, line_reader and
  // main's signal handlers (log lines), decision (log lines).
  const char* addr = nullptr;
  // What the store keys the client's rows on: its address in canonical form,
  // or its network; addr itself when that is no IP address.
  // w: main (start-up). r: main and decision (handed to the store).
  const char* key = nullptr;
  // TCPREMOTEHOST. w and r: suspicion (fetched when the rules run).
  const char* hostname = nullptr;
  // w: greet_delay. r: decision (log line), suspicion.
  std::uint32_t greetdelay_trapped = 0;
  // From the pending lookup's row. w: decision. r: decision, suspicion.
  std::uint32_t numattempts = 0;
  std::uint32_t attemptsintrv = 0;
  // Never filled; r: decision (log line).
  std::uint32_t numpendingdelivs = 0;
  // w: session. r: decision (log line), suspicion.
  std::uint32_t cmderrs = 0;
  // w: greet_delay, session, decision, suspicion (each its own bits).
  // r: suspicion.
  std::uint32_t validity = 0;
};

inline constexpr std::size_t envelope_field_size = 512;
inline constexpr std::size_t text_buffer_size = 1024;

// w: session (main empties from and to before it). r: decision (the
// triple, log lines), suspicion.
struct Envelope {
  std::array<char, envelope_field_size> helo{};
  std::array<char, envelope_field_size> from{};
  std::array<char, envelope_field_size> to{};
};

extern ClientMetainfo client_metainfo;
extern Envelope envelope;

// The one statement buffer; also scratch space for the relay, the
// temporary-failure reply and the suspicion file reader. Written and read
// by each of them (store, relay, decision, suspicion) within one step;
// nothing in it outlives the step that wrote it.
extern std::array<char, text_buffer_size> buf;

// The server reply line read last, and how many bytes it holds.
// w: session. r: session, decision (the held-back reply).
extern std::array<char, text_buffer_size> srvresp;
extern std::size_t srvresp_len;

// Read end [0] and write end [1]; -1 while closed or not made.
// w: main (made, child's ends closed), decision (closes the write end on a
// failure). r: session, relay, main's exit handler.
extern int pipe_to_server[2];
extern int pipe_from_server[2];

// TCPLOCALHOST. w: main. r: session (the reply to QUIT).
extern const char* local_hostname;


// Ends the process through the normal exit path, so the exit handler runs.
[[noreturn]] void terminate_process(int status);
