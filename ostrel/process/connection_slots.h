// The limit of simultaneous greylisting connections per client key
// (GREYLIST_MAXCONN=N): each connection holds one of the key's N slots, a
// file in the run directory locked with flock, for as long as it lives.
// The file of a slot exists only while a connection holds it: the holder
// removes it when it lets the slot go, so the directory holds one file per
// open connection and never grows beyond. The kernel lets the lock go when
// a process ends in any way; a file left behind then is taken over by the
// next connection that takes its slot. This code returns its findings and
// never ends the process; ostrel's start-up turns them into lines.
#pragma once

#include <optional>
#include <string>
#include <string_view>

inline constexpr unsigned most_connections_per_client = 1000;
inline constexpr const char* default_run_directory = "/run/ostrel";

// GREYLIST_MAXCONN's value: a decimal number from 1 to
// most_connections_per_client, nothing else.
[[nodiscard]] std::optional<unsigned> parse_connection_limit(std::string_view text);

// The file name of a key's slot: the key itself when it is made of the
// characters of addresses and networks ('/' written as '_'), so that an
// admin sees who holds what; otherwise a hash of it. Never "." or "..",
// never holding a '/'.
[[nodiscard]] std::string slot_file_name(std::string_view key, unsigned slot);

enum class SlotTaken {
  taken,     // the process holds a slot until release_connection_slot() or its end
  all_busy,  // every slot of the key is held by another connection
  failed,    // a slot file could not be made or locked; errno says why
};
// Takes the first free one of the key's `limit` slots in `directory`. One
// slot per process: call once.
[[nodiscard]] SlotTaken take_connection_slot(const char* directory, const char* key, unsigned limit);

// Lets the slot go, its file first. Async-signal-safe; harmless without a
// slot.
void release_connection_slot();
