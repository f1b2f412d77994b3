// Start-up: what the greylist store keys this connection's client on.
#pragma once

// Reads GREYLIST_CIDR4 and GREYLIST_CIDR6 and sets client_metainfo.key from
// client_metainfo.addr, which must be set and checked already. A value that
// is no prefix length in range ends the process with status 100.
void set_client_key();
