// The process-wide records of one ostrel connection. Each lives for the
// whole process; nothing in them is freed before exit.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "relay_io.h"  // client_in, client_out: the client connection

// Bits of ClientMetainfo::validity: which facts have been established.
enum : std::uint32_t {
  VALID_HOSTNAME = 0x01,
  VALID_GREETDELAY = 0x02,
  VALID_NUMATTEMPTS = 0x04,
  VALID_ATTEMPTSINTRV = 0x08,
  VALID_NUMPENDINGDELIVS = 0x10,
  VALID_CMDERRS = 0x20,
};

// Class of the latest error reply of the server in the envelope session.
enum : std::uint32_t { CMDERRS_NONE = 0, CMDERRS_TEMPORARY = 1, CMDERRS_PERMANENT = 2 };

struct ClientMetainfo {
  const char* addr = nullptr;      // TCPREMOTEIP itself
  // What the store keys the client's rows on: its address in canonical form,
  // or its network; addr itself when that is no IP address. Set at start-up.
  const char* key = nullptr;
  const char* hostname = nullptr;  // TCPREMOTEHOST, fetched by the suspicion rules
  std::uint32_t greetdelay_trapped = 0;
  std::uint32_t numattempts = 0;
  std::uint32_t attemptsintrv = 0;
  std::uint32_t numpendingdelivs = 0;  // never filled
  std::uint32_t cmderrs = 0;
  std::uint32_t validity = 0;
};

inline constexpr std::size_t envelope_field_size = 512;
inline constexpr std::size_t text_buffer_size = 1024;

struct Envelope {
  std::array<char, envelope_field_size> helo{};
  std::array<char, envelope_field_size> from{};
  std::array<char, envelope_field_size> to{};
};

extern ClientMetainfo client_metainfo;
extern Envelope envelope;

// The one statement buffer; also scratch space for the relay, the
// temporary-failure reply and the suspicion file reader.
extern std::array<char, text_buffer_size> buf;

// The server reply line read last, and how many bytes it holds.
extern std::array<char, text_buffer_size> srvresp;
extern std::size_t srvresp_len;

// Read end [0] and write end [1]; -1 while closed or not made.
extern int pipe_to_server[2];
extern int pipe_from_server[2];

extern const char* local_hostname;


// Ends the process through the normal exit path, so the exit handler runs.
[[noreturn]] void terminate_process(int status);
