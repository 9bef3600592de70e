#pragma once

#include <cstddef>
#include <cstdint>
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
// and at it, in total and per sender address. Any thread.
class UnansweredConnections {
 public:
  explicit UnansweredConnections(const ConnectionLimits& limits) : limits_(limits) {}

  struct Admission {
    bool admitted = false;
    std::optional<Uuid> dropped;  // a connection before the question that must make room
  };
  // A new connection from `address`. Past the address's bound it is refused;
  // past the total bound the longest-waiting connection of the address with
  // the most of them makes room, so one device cannot keep others out.
  Admission admit(const Uuid& id, const std::string& address);

  enum class Refusal { none, tooManyWaiting, tooManyWaitingFromAddress };
  // The connection's offer is about to be put to the user.
  Refusal enterQuestion(const Uuid& id);
  void answered(const Uuid& id);
  void leave(const Uuid& id);
  bool isBeforeQuestion(const Uuid& id) const;

 private:
  enum class Phase { beforeQuestion, atQuestion, done };
  struct Entry {
    std::string address;
    Phase phase;
    std::uint64_t order;
  };
  std::size_t count(Phase phase, const std::string* address = nullptr) const;
  std::optional<Uuid> longestWaitingOfBusiestAddress() const;

  const ConnectionLimits limits_;
  mutable std::mutex mutex_;
  std::unordered_map<Uuid, Entry> entries_;
  std::uint64_t nextOrder_ = 0;
};

}  // namespace orvel
