#include "store_key.h"

#include <cstdlib>
#include <cstring>
#include <optional>

#include "client_address.h"
#include "exit_status.h"
#include "log.h"
#include "state.h"

namespace {

// The key when it is the canonical address or the network; lives for the
// process, as client_metainfo does.
client_address::KeyText key_text{};

// 0 when the variable is unset. A typo must not key every client on a
// network far wider than meant, so a value out of range ends the process.
unsigned prefix_length_from_env(const char* name, client_address::PrefixRange range) {
  const char* value = std::getenv(name);
  if (value == nullptr) return 0;
  std::optional<unsigned> prefix_length = client_address::parse_prefix_length(value, range);
  if (!prefix_length) {
    log_msg(2, "%s must be a prefix length from %u to %u, not '%s'. Terminating.", name, range.shortest, range.longest,
            value);
    terminate_process(exit_status::gave_up);
  }
  return *prefix_length;
}

}  // namespace

// Two spellings of one address, or the addresses of one network when
// greylisting by network is on, share one key; any other text is its own.
void set_client_key() {
  client_address::KeyPrefixes prefixes{prefix_length_from_env("GREYLIST_CIDR4", client_address::ipv4_prefixes),
                                       prefix_length_from_env("GREYLIST_CIDR6", client_address::ipv6_prefixes)};
  client_metainfo.key = client_metainfo.addr;
  std::optional<client_address::KeyText> key = client_address::client_key(client_metainfo.addr, prefixes);
  if (!key) return;
  key_text = *key;
  client_metainfo.key = key_text.data();
  if (std::strcmp(client_metainfo.key, client_metainfo.addr) != 0)
    log_msg(6, "Client '%s' is greylisted as '%s'.", client_metainfo.addr, client_metainfo.key);
}
