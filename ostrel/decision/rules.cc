#include "rules.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log.h"
#include "state.h"

Threshold host_delivattempts_threshold(ClientMetainfo& client, const Envelope& envelope) {
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
  client.hostname = std::getenv("TCPREMOTEHOST");
  client.validity |= VALID_HOSTNAME;

  SuspicionFacts facts;
  facts.addr = client.addr;
  facts.hostname = client.hostname;
  facts.greetdelay_trapped = client.greetdelay_trapped;
  facts.greetdelay_watched = (client.validity & VALID_GREETDELAY) != 0;
  facts.numattempts = client.numattempts;
  facts.attemptsintrv = client.attemptsintrv;
  facts.cmderrs = client.cmderrs;
  facts.helo = envelope.helo.data();
  facts.from = envelope.from.data();
  facts.to = envelope.to.data();
  char line[rule_buffer_size];
  Threshold result = evaluate_rule_file(file, path, line, facts);
  std::fclose(file);
  return result;
}
