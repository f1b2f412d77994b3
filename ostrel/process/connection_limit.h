// Start-up of the greylisting road: the limit of simultaneous greylisting
// connections per client key (GREYLIST_MAXCONN, slots in GREYLIST_RUNDIR).
#pragma once

// GREYLIST_MAXCONN, 0 when unset. Like the network keys, a value that is no
// limit in range ends every connection (100), so that a typo shows at once.
[[nodiscard]] unsigned connection_limit_from_env();

// Takes a slot of client_metainfo.key, which the process holds to its end.
// A key that holds `limit` greylisting connections already gets 421 in
// place of the server's greeting, no server program is started, and the
// process ends (0). A run directory that cannot hold the slots ends the
// connection (100).
void hold_connection_slot(unsigned limit);
