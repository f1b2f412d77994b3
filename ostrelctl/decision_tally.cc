#include "decision_tally.h"

#include <algorithm>

#include "client_address.h"

using decision_line::Outcome;

namespace {

DelayedParty& party(std::map<std::string, DelayedParty>& parties, std::string name) {
  auto [it, added] = parties.try_emplace(name);
  if (added) it->second.name = std::move(name);
  return it->second;
}

}  // namespace

std::string sender_domain(std::string_view sender) {
  if (sender.empty()) return "<>";
  std::size_t at = sender.rfind('@');
  std::string domain(at == std::string_view::npos ? sender : sender.substr(at + 1));
  for (char& c : domain)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return domain;
}

std::string client_network(std::string_view key) {
  if (key.find('/') != std::string_view::npos) return std::string(key);
  std::optional<client_address::KeyText> network = client_address::client_key(key, {24, 64});
  return network ? std::string(network->data()) : std::string(key);
}

void DecisionTally::add(const decision_line::Decision& d, const std::optional<std::string>& label) {
  auto index = static_cast<std::size_t>(d.outcome);
  ++total_[index];
  if (label) {
    ++buckets_[*label][index];
  } else {
    if (!untimed_) untimed_.emplace();
    ++(*untimed_)[index];
  }
  std::string key(d.key);
  if (d.outcome == Outcome::verified) {  // what was waiting comes back on this road now
    auto found = waiting_.find(key);
    if (found == waiting_.end()) return;
    triples_back_ += found->second.size();
    waiting_.erase(found);
    return;
  }
  Envelope envelope{std::string(d.sender), std::string(d.recipient)};
  if (d.outcome == Outcome::greylisted) {
    ++party(senders_, sender_domain(d.sender)).greylisted;
    ++party(networks_, client_network(d.key)).greylisted;
    if (waiting_[key].insert(std::move(envelope)).second) ++triples_greylisted_;
    return;
  }
  note_back(key, envelope);
  if (d.attempts != 0) note_delay(d);  // else let through at once
}

void DecisionTally::note_back(const std::string& key, const Envelope& envelope) {
  auto found = waiting_.find(key);
  if (found == waiting_.end() || found->second.erase(envelope) == 0) return;
  ++triples_back_;
  if (found->second.empty()) waiting_.erase(found);
}

void DecisionTally::note_delay(const decision_line::Decision& d) {
  std::uint32_t delay = d.delay.value_or(d.age);
  ++delays_[delay];
  for (DelayedParty* p : {&party(senders_, sender_domain(d.sender)), &party(networks_, client_network(d.key))}) {
    ++p->passes;
    p->total_delay += delay;
    p->max_delay = std::max(p->max_delay, delay);
  }
}

std::optional<DelaySummary> DecisionTally::delays() const {
  if (delays_.empty()) return std::nullopt;
  DelaySummary summary;
  for (const auto& [delay, passes] : delays_) summary.passes += passes;
  // The smallest delay that at least percent of the passes did not exceed.
  auto nearest_rank = [&](std::uint64_t percent) {
    std::uint64_t rank = std::max<std::uint64_t>(1, (summary.passes * percent + 99) / 100);
    std::uint64_t seen = 0;
    for (const auto& [delay, passes] : delays_)
      if ((seen += passes) >= rank) return delay;
    return delays_.rbegin()->first;
  };
  summary.median = nearest_rank(50);
  summary.p90 = nearest_rank(90);
  summary.max = delays_.rbegin()->first;
  return summary;
}

std::vector<DelayedParty> DecisionTally::top(const std::map<std::string, DelayedParty>& parties, std::size_t n) {
  std::vector<DelayedParty> delayed;
  for (const auto& [name, p] : parties)
    if (p.passes != 0) delayed.push_back(p);
  auto longer = [](const DelayedParty& a, const DelayedParty& b) {
    if (a.total_delay != b.total_delay) return a.total_delay > b.total_delay;
    if (a.passes != b.passes) return a.passes > b.passes;
    return a.name < b.name;
  };
  std::size_t kept = std::min(n, delayed.size());
  std::partial_sort(delayed.begin(), delayed.begin() + static_cast<std::ptrdiff_t>(kept), delayed.end(), longer);
  delayed.resize(kept);
  return delayed;
}
