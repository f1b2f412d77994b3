// ostrel's side of the suspicion rules: the file named by SUSPICION,
// evaluated on this connection's facts.
#pragma once

#include "suspicion.h"

#include "state.h"

// Reads SUSPICION and, once the file has opened, TCPREMOTEHOST (kept in
// client.hostname); then the file from the top, on the client's facts and
// the envelope.
[[nodiscard]] Threshold host_delivattempts_threshold(ClientMetainfo& client, const Envelope& envelope);
