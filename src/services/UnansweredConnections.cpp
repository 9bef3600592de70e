#include "services/UnansweredConnections.h"

#include <asio/ip/address.hpp>
#include <algorithm>
#include <map>
#include <vector>

namespace orvel {

std::string senderAddressOf(const std::string& endpointDescription) {
  auto text = endpointDescription.starts_with('[')
                  ? endpointDescription.substr(1, endpointDescription.find(']') - 1)
                  : endpointDescription.substr(0, endpointDescription.rfind(':'));
  std::error_code error;
  auto address = asio::ip::make_address(text, error);
  if (error) return text;
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).to_string();
  }
  return address.to_string();  // one spelling for each address, a link-local one with its scope
}

UnansweredConnections::Admission UnansweredConnections::admit(const Uuid& id, const std::string& address,
                                                              const ProgressOf& progressOf) {
  std::lock_guard lock(mutex_);
  Admission admission;
  if (count(Phase::beforeQuestion, &address) + count(Phase::ending, &address) >=
      limits_.mostBeforeQuestionPerAddress) {
    return admission;
  }
  if (count(Phase::beforeQuestion) >= limits_.mostBeforeQuestion) {
    admission.dropped = leastAdvanced(progressOf);
    if (admission.dropped) entries_.at(*admission.dropped).phase = Phase::ending;
  }
  entries_[id] = Entry{address, Phase::beforeQuestion, nextOrder_++};
  admission.admitted = true;
  return admission;
}

// A replaced offer keeps the place of the one it replaces.
UnansweredConnections::Refusal UnansweredConnections::enterQuestion(const Uuid& id, std::uint64_t offerNumber) {
  std::lock_guard lock(mutex_);
  auto found = entries_.find(id);
  if (found == entries_.end()) return Refusal::none;
  auto& entry = found->second;
  if (entry.phase == Phase::atQuestion) {
    entry.offerNumber = offerNumber;
    return Refusal::none;
  }
  auto refusal = Refusal::none;
  if (count(Phase::atQuestion, &entry.address) >= limits_.mostWaitingQuestionsPerAddress) {
    refusal = Refusal::tooManyWaitingFromAddress;
  } else if (count(Phase::atQuestion) >= limits_.mostWaitingQuestions) {
    refusal = Refusal::tooManyWaiting;
  }
  entry.phase = refusal == Refusal::none ? Phase::atQuestion : Phase::ending;
  entry.offerNumber = offerNumber;
  return refusal;
}

void UnansweredConnections::answered(const Uuid& id, std::uint64_t offerNumber, bool accepted) {
  std::lock_guard lock(mutex_);
  auto found = entries_.find(id);
  if (found == entries_.end() || found->second.phase != Phase::atQuestion) return;
  if (found->second.offerNumber != offerNumber) return;
  found->second.phase = accepted ? Phase::accepted : Phase::ending;
}

void UnansweredConnections::ending(const Uuid& id) {
  std::lock_guard lock(mutex_);
  auto found = entries_.find(id);
  if (found != entries_.end()) found->second.phase = Phase::ending;
}

void UnansweredConnections::leave(const Uuid& id) {
  std::lock_guard lock(mutex_);
  entries_.erase(id);
}

bool UnansweredConnections::isBeforeQuestion(const Uuid& id) const {
  std::lock_guard lock(mutex_);
  auto found = entries_.find(id);
  return found != entries_.end() && found->second.phase == Phase::beforeQuestion;
}

std::size_t UnansweredConnections::count(Phase phase, const std::string* address) const {
  std::size_t total = 0;
  for (const auto& [id, entry] : entries_) {
    if (entry.phase == phase && (!address || entry.address == *address)) ++total;
  }
  return total;
}

std::optional<Uuid> UnansweredConnections::leastAdvanced(const ProgressOf& progressOf) const {
  struct Candidate {
    Uuid id;
    std::uint64_t order;
  };
  std::optional<Progress> least;
  std::map<std::string, std::vector<Candidate>> byAddress;  // of the least progress
  for (const auto& [id, entry] : entries_) {
    if (entry.phase != Phase::beforeQuestion) continue;
    auto progress = progressOf(id);
    if (least && progress > *least) continue;
    if (least && progress < *least) byAddress.clear();
    least = progress;
    byAddress[entry.address].push_back({id, entry.order});
  }
  auto oldest = [](const std::vector<Candidate>& candidates) {
    return *std::min_element(candidates.begin(), candidates.end(),
                             [](const Candidate& a, const Candidate& b) { return a.order < b.order; });
  };
  std::optional<Candidate> chosen;
  std::size_t chosenCount = 0;
  for (const auto& [address, candidates] : byAddress) {
    auto candidate = oldest(candidates);
    if (!chosen || candidates.size() > chosenCount ||
        (candidates.size() == chosenCount && candidate.order < chosen->order)) {
      chosen = candidate;
      chosenCount = candidates.size();
    }
  }
  if (!chosen) return std::nullopt;
  return chosen->id;
}

}  // namespace orvel
