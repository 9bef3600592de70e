#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "platform/Uuid.h"
#include "services/ConnectionLimits.h"

namespace orvel {

// The sender a connection counts against: its address, IPv6 as IPv4 (an
// IPv4 address mapped into IPv6 as that IPv4 address). Every phone of a home
// network has its IPv6 address in the network's one /64, so a coarser key
// would make them one sender; a device with many addresses is held by the
// total bounds and by the order in which connections make room.
std::string senderAddressOf(const std::string& endpointDescription);

// Counts the connections the user has not answered yet, before the question
// and at it, in total and per sender address, and those still ending. Any thread.
class UnansweredConnections {
 public:
  explicit UnansweredConnections(const ConnectionLimits& limits) : limits_(limits) {}

  // How far a connection before the question has come, least first.
  enum class Progress { nothingSent, inKeyExchange, pastKeyExchange };
  using ProgressOf = std::function<Progress(const Uuid&)>;

  struct Admission {
    bool admitted = false;
    std::optional<Uuid> dropped;  // a connection before the question that must make room
  };
  // A new connection from `address`. Past the address's bound (connections
  // before the question and those still ending) it is refused; past the total
  // bound one that got least far makes room: of those, one of the address
  // holding the most, its oldest. One past the key exchange goes only when no
  // other is left, so idle connections from any number of addresses cannot
  // push out a phone.
  Admission admit(const Uuid& id, const std::string& address, const ProgressOf& progressOf);

  enum class Refusal { none, tooManyWaiting, tooManyWaitingFromAddress };
  // The connection's offer of that number is about to be put to the user; a
  // refused one ends.
  Refusal enterQuestion(const Uuid& id, std::uint64_t offerNumber);
  // The user's answer to that offer frees its place among the waiting
  // questions at once; a declined connection then ends. An answer to an offer
  // since replaced changes nothing.
  void answered(const Uuid& id, std::uint64_t offerNumber, bool accepted);
  // Closed by the receiver: until it leaves it counts against its address only.
  void ending(const Uuid& id);
  void leave(const Uuid& id);
  bool isBeforeQuestion(const Uuid& id) const;

 private:
  enum class Phase { beforeQuestion, atQuestion, accepted, ending };
  struct Entry {
    std::string address;
    Phase phase;
    std::uint64_t order;
    std::uint64_t offerNumber = 0;  // at the question
  };
  std::size_t count(Phase phase, const std::string* address = nullptr) const;
  std::optional<Uuid> leastAdvanced(const ProgressOf& progressOf) const;

  const ConnectionLimits limits_;
  mutable std::mutex mutex_;
  std::unordered_map<Uuid, Entry> entries_;
  std::uint64_t nextOrder_ = 0;
};

}  // namespace orvel
