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
                                                              const StandingOf& standingOf, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  Admission admission;
  if (count(Phase::beforeQuestion, &address) + count(Phase::ending, &address) >=
      limits_.mostBeforeQuestionPerAddress) {
    admission.addressFull = true;
    return admission;
  }
  if (count(Phase::beforeQuestion) >= limits_.mostBeforeQuestion) {
    admission.dropped = makingRoom(standingOf, now);
    if (!admission.dropped) return admission;
    entries_.at(*admission.dropped).phase = Phase::ending;
  }
  entries_[id] = Entry{address, Phase::beforeQuestion, nextOrder_++, 0, now, now, 0};
  admission.admitted = true;
  return admission;
}

// Windows follow one another from the admission on; a late check makes its
// window longer, never the least it must have sent smaller.
UnansweredConnections::Watch UnansweredConnections::watch(const Uuid& id, std::uint64_t bytesReceived,
                                                          Clock::time_point silentSince, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  auto found = entries_.find(id);
  if (found == entries_.end() || found->second.phase != Phase::beforeQuestion) {
    return {Verdict::notBeforeQuestion, now};
  }
  auto& entry = found->second;
  if (now - silentSince >= limits_.timeToQuestion) return {Verdict::silent, now};
  if (now - entry.windowStart >= limits_.paceWindow) {
    const auto least = limits_.leastPaceBeforeQuestion *
                       std::chrono::duration_cast<std::chrono::milliseconds>(limits_.paceWindow).count() / 1000;
    if (bytesReceived - entry.bytesAtWindowStart < least) return {Verdict::tooSlow, now};
    entry.windowStart = now;
    entry.bytesAtWindowStart = bytesReceived;
  }
  return {Verdict::keep, std::min(silentSince + limits_.timeToQuestion, entry.windowStart + limits_.paceWindow)};
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

std::optional<Uuid> UnansweredConnections::makingRoom(const StandingOf& standingOf, Clock::time_point now) const {
  struct Candidate {
    Uuid id;
    const Entry* entry;
    Standing standing;
  };
  std::vector<Candidate> idleAfterGrace, stalled, moving;
  bool anyWithinGrace = false;  // one has sent nothing, within its grace
  for (const auto& [id, entry] : entries_) {
    if (entry.phase != Phase::beforeQuestion) continue;
    Candidate candidate{id, &entry, standingOf(id)};
    if (candidate.standing.progress == Progress::nothingSent) {
      if (now - entry.admittedAt >= limits_.firstBytesGrace) {
        idleAfterGrace.push_back(candidate);
      } else {
        anyWithinGrace = true;
      }
    } else {
      const bool pastGrace = candidate.standing.silentFor >= limits_.firstBytesGrace;
      (pastGrace ? stalled : moving).push_back(candidate);
    }
  }
  if (!idleAfterGrace.empty()) {  // of the address holding the most, its oldest
    std::map<std::string, std::vector<const Candidate*>> byAddress;
    for (const auto& candidate : idleAfterGrace) byAddress[candidate.entry->address].push_back(&candidate);
    const Candidate* chosen = nullptr;
    std::size_t chosenCount = 0;
    for (const auto& [address, candidates] : byAddress) {
      const auto* oldest = *std::min_element(candidates.begin(), candidates.end(), [](const auto* a, const auto* b) {
        return a->entry->order < b->entry->order;
      });
      if (!chosen || candidates.size() > chosenCount ||
          (candidates.size() == chosenCount && oldest->entry->order < chosen->entry->order)) {
        chosen = oldest;
        chosenCount = candidates.size();
      }
    }
    return chosen->id;
  }
  auto longerSilent = [](const Candidate& a, const Candidate& b) {
    if (a.standing.silentFor != b.standing.silentFor) return a.standing.silentFor > b.standing.silentFor;
    return a.entry->order < b.entry->order;
  };
  auto leastFar = [&](const Candidate& a, const Candidate& b) {
    if (a.standing.progress != b.standing.progress) return a.standing.progress < b.standing.progress;
    return longerSilent(a, b);
  };
  if (!stalled.empty()) return std::min_element(stalled.begin(), stalled.end(), leastFar)->id;
  // Of those that keep sending, the one silent longest. One past the key
  // exchange that has been in longer than the grace goes only when no
  // newcomer is within its grace: a crowd of newcomers faster than that does
  // not push out a phone, it turns itself away.
  std::erase_if(moving, [&](const Candidate& candidate) {
    return anyWithinGrace && candidate.standing.progress == Progress::pastKeyExchange &&
           now - candidate.entry->admittedAt >= limits_.firstBytesGrace;
  });
  if (moving.empty()) return std::nullopt;
  return std::min_element(moving.begin(), moving.end(), longerSilent)->id;
}

}  // namespace orvel
