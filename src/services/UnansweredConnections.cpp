#include "services/UnansweredConnections.h"

#include <asio/ip/address.hpp>
#include <map>

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

UnansweredConnections::Admission UnansweredConnections::admit(const Uuid& id, const std::string& address) {
  std::lock_guard lock(mutex_);
  Admission admission;
  if (count(Phase::beforeQuestion, &address) >= limits_.mostBeforeQuestionPerAddress) return admission;
  if (count(Phase::beforeQuestion) >= limits_.mostBeforeQuestion) {
    admission.dropped = longestWaitingOfBusiestAddress();
    if (admission.dropped) entries_.at(*admission.dropped).phase = Phase::done;
  }
  entries_[id] = Entry{address, Phase::beforeQuestion, nextOrder_++};
  admission.admitted = true;
  return admission;
}

// A connection whose offer is refused is declined and ends: it counts no more.
UnansweredConnections::Refusal UnansweredConnections::enterQuestion(const Uuid& id) {
  std::lock_guard lock(mutex_);
  auto found = entries_.find(id);
  if (found == entries_.end() || found->second.phase == Phase::atQuestion) return Refusal::none;
  auto refusal = Refusal::none;
  if (count(Phase::atQuestion, &found->second.address) >= limits_.mostWaitingQuestionsPerAddress) {
    refusal = Refusal::tooManyWaitingFromAddress;
  } else if (count(Phase::atQuestion) >= limits_.mostWaitingQuestions) {
    refusal = Refusal::tooManyWaiting;
  }
  found->second.phase = refusal == Refusal::none ? Phase::atQuestion : Phase::done;
  return refusal;
}

void UnansweredConnections::answered(const Uuid& id) {
  std::lock_guard lock(mutex_);
  auto found = entries_.find(id);
  if (found != entries_.end()) found->second.phase = Phase::done;
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

std::optional<Uuid> UnansweredConnections::longestWaitingOfBusiestAddress() const {
  std::map<std::string, std::pair<std::size_t, std::uint64_t>> perAddress;  // count, oldest order
  std::map<std::uint64_t, Uuid> byOrder;
  for (const auto& [id, entry] : entries_) {
    if (entry.phase != Phase::beforeQuestion) continue;
    auto& [number, oldest] = perAddress.try_emplace(entry.address, 0, entry.order).first->second;
    ++number;
    oldest = std::min(oldest, entry.order);
    byOrder.emplace(entry.order, id);
  }
  const std::pair<std::size_t, std::uint64_t>* busiest = nullptr;
  for (const auto& [address, tally] : perAddress) {
    if (!busiest || tally.first > busiest->first || (tally.first == busiest->first && tally.second < busiest->second)) {
      busiest = &tally;
    }
  }
  if (!busiest) return std::nullopt;
  return byOrder.at(busiest->second);
}

}  // namespace orvel
