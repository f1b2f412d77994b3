// ostrel's side of the suspicion rules: the file named by SUSPICION,
// evaluated on this connection's facts.
#pragma once

#include "suspicion.h"

// Reads SUSPICION and, once the file has opened, TCPREMOTEHOST (kept in
// client_metainfo.hostname); then the file from the top.
[[nodiscard]] Threshold host_delivattempts_threshold();
