#include "rules.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log.h"
#include "state.h"

Threshold host_delivattempts_threshold() {
  const char* path = std::getenv("SUSPICION");
  if (path == nullptr) {
    log_msg(7, "Suspicion is not enabled.");
    return {Threshold::Source::disabled, 0};
  }
  std::FILE* file = std::fopen(path, "r");
  if (file == nullptr) {
    log_msg(2, "Unable to open suspicion file '%s': %s", path, strerror(errno));
    return {Threshold::Source::unreadable, 0};
  }
  client_metainfo.hostname = std::getenv("TCPREMOTEHOST");
  client_metainfo.validity |= VALID_HOSTNAME;

  SuspicionFacts facts;
  facts.addr = client_metainfo.addr;
  facts.hostname = client_metainfo.hostname;
  facts.greetdelay_trapped = client_metainfo.greetdelay_trapped;
  facts.greetdelay_watched = (client_metainfo.validity & VALID_GREETDELAY) != 0;
  facts.numattempts = client_metainfo.numattempts;
  facts.attemptsintrv = client_metainfo.attemptsintrv;
  facts.cmderrs = client_metainfo.cmderrs;
  facts.helo = envelope.helo.data();
  facts.from = envelope.from.data();
  facts.to = envelope.to.data();
  char line[rule_buffer_size];
  Threshold result = evaluate_rule_file(file, path, line, facts);
  std::fclose(file);
  return result;
}
