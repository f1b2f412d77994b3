// What `ostrelctl report` counts in the decision lines of a log, line by
// line in the order of the log. Memory grows with the hours (or days) seen,
// the distinct delays, sender domains and networks, and the triples
// greylisted and not yet back: never with the number of lines.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "decision_line.h"

inline constexpr std::size_t outcome_count = 5;

// Connections per outcome, indexed by decision_line::Outcome.
using OutcomeCounts = std::array<std::uint64_t, outcome_count>;

// The delays of mail that passed after being greylisted (a pass with a
// recorded attempt), in seconds; percentiles by nearest rank.
struct DelaySummary {
  std::uint64_t passes = 0;
  std::uint32_t median = 0;
  std::uint32_t p90 = 0;
  std::uint32_t max = 0;
};

// A sender domain or a network, and what greylisting cost it.
struct DelayedParty {
  std::string name;
  std::uint64_t passes = 0;       // mail passed after being greylisted
  std::uint64_t total_delay = 0;  // seconds, summed over those passes
  std::uint32_t max_delay = 0;
  std::uint64_t greylisted = 0;  // connections refused for now
};

class DecisionTally {
 public:
  // label: the time bucket ("2026-01-05 10:00"); none for a line without a time.
  void add(const decision_line::Decision& decision, const std::optional<std::string>& label);

  [[nodiscard]] const std::map<std::string, OutcomeCounts>& buckets() const { return buckets_; }
  [[nodiscard]] const std::optional<OutcomeCounts>& untimed() const { return untimed_; }
  [[nodiscard]] const OutcomeCounts& total() const { return total_; }
  [[nodiscard]] std::optional<DelaySummary> delays() const;
  // Triples greylisted (a triple greylisted again before it came back
  // counts once) and how many of them came back: passed, or their client
  // connected as a verified server (whose triples ostrel no longer sees).
  [[nodiscard]] std::uint64_t triples_greylisted() const { return triples_greylisted_; }
  [[nodiscard]] std::uint64_t triples_back() const { return triples_back_; }
  // The n that waited longest in total, longest first.
  [[nodiscard]] std::vector<DelayedParty> top_senders(std::size_t n) const { return top(senders_, n); }
  [[nodiscard]] std::vector<DelayedParty> top_networks(std::size_t n) const { return top(networks_, n); }

 private:
  using Envelope = std::pair<std::string, std::string>;  // sender, recipient
  [[nodiscard]] static std::vector<DelayedParty> top(const std::map<std::string, DelayedParty>& parties, std::size_t n);
  void note_delay(const decision_line::Decision& decision);
  void note_back(const std::string& key, const Envelope& envelope);

  std::map<std::string, OutcomeCounts> buckets_;
  std::optional<OutcomeCounts> untimed_;
  OutcomeCounts total_{};
  std::map<std::uint32_t, std::uint64_t> delays_;      // delay -> passes
  std::map<std::string, std::set<Envelope>> waiting_;  // client key -> triples greylisted, not back yet
  std::uint64_t triples_greylisted_ = 0;
  std::uint64_t triples_back_ = 0;
  std::map<std::string, DelayedParty> senders_;
  std::map<std::string, DelayedParty> networks_;
};

// The sender's domain in lower case ("<>" for the null sender); the
// network of a client key: the key itself when ostrel keys on networks,
// else the /24 (IPv4) or /64 (IPv6) that holds the address.
[[nodiscard]] std::string sender_domain(std::string_view sender);
[[nodiscard]] std::string client_network(std::string_view key);
