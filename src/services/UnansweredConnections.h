#pragma once

#include <chrono>
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

  using Clock = std::chrono::steady_clock;

  // How far a connection before the question has come, least first, and,
  // once it has sent something, how long its sender has kept it waiting.
  enum class Progress { nothingSent, inKeyExchange, pastKeyExchange };
  struct Standing {
    Progress progress = Progress::nothingSent;
    Clock::duration silentFor{};
  };
  using StandingOf = std::function<Standing(const Uuid&)>;

  struct Admission {
    bool admitted = false;
    bool addressFull = false;  // refused for its address's bound, else to keep the newcomers' places
    std::optional<Uuid> dropped;  // a connection before the question that must make room
  };
  // A new connection from `address`. Past the address's bound (connections
  // before the question and those still ending) it is refused. Past the total
  // bound one makes room, in this order: one that has sent nothing for longer
  // than the grace (of the address holding the most such, its oldest); one
  // that sent something and has been silent longer than that, least far
  // first, then longest silent; then the one of the others that has been
  // silent longest, but not one past the key exchange that has been in
  // longer than the grace while any has sent nothing within its grace. When
  // none is left the newcomer is refused: a crowd of new connections turns
  // itself away. So a phone is not pushed out before its first bytes arrive,
  // nor, once past the key exchange and while it keeps sending, by idle
  // connections or by crowds of newcomers.
  Admission admit(const Uuid& id, const std::string& address, const StandingOf& standingOf, Clock::time_point now);

  // Whether a connection before the question keeps sending enough, judged on
  // what it has received so far; `nextCheck` is when to ask again.
  enum class Verdict { keep, silent, tooSlow, notBeforeQuestion };
  struct Watch {
    Verdict verdict = Verdict::keep;
    Clock::time_point nextCheck;
  };
  Watch watch(const Uuid& id, std::uint64_t bytesReceived, Clock::time_point silentSince, Clock::time_point now);

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
    Clock::time_point admittedAt;
    // Before the question: the pace window's start and what had arrived then.
    Clock::time_point windowStart;
    std::uint64_t bytesAtWindowStart = 0;
  };
  std::size_t count(Phase phase, const std::string* address = nullptr) const;
  // Who makes room; absent when the newcomer itself must go.
  std::optional<Uuid> makingRoom(const StandingOf& standingOf, Clock::time_point now) const;

  const ConnectionLimits limits_;
  mutable std::mutex mutex_;
  std::unordered_map<Uuid, Entry> entries_;
  std::uint64_t nextOrder_ = 0;
};

}  // namespace orvel
