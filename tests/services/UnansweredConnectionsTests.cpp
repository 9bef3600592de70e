#include "services/UnansweredConnections.h"

#include <gtest/gtest.h>

#include <chrono>
#include <unordered_map>
#include <vector>

namespace orvel {
namespace {

using namespace std::chrono_literals;
using Progress = UnansweredConnections::Progress;
using Standing = UnansweredConnections::Standing;
using Clock = std::chrono::steady_clock;

// Who makes room when every place before the question is taken: the places
// are admitted one after another, each with its address and its standing
// by the time the newcomer comes.
TEST(UnansweredConnections, WhoMakesRoomForANewcomer) {
  struct Place {
    const char* address;
    Standing standing;
    Clock::duration age;  // since its admission
  };
  struct Case {
    const char* name;
    std::vector<Place> places;
    int dropped;  // the place that makes room, or -1: the newcomer is refused
  };
  const Standing idle{};
  const auto moving = [](Progress progress, Clock::duration silent) { return Standing{progress, silent}; };
  const std::vector<Case> cases = {
      {"a phone before its first bytes stays among holders moving past the key exchange",
       {{"127.0.1.1", moving(Progress::pastKeyExchange, 100ms), 5s},
        {"127.0.1.2", moving(Progress::pastKeyExchange, 300ms), 5s},
        {"127.0.0.250", idle, 1ms}},
       -1},
      {"only new connections that have sent nothing yet: the newcomer goes",
       {{"127.0.1.1", idle, 400ms}, {"127.0.1.2", idle, 10ms}, {"127.0.0.250", idle, 1ms}},
       -1},
      {"one idle past the grace makes room, of the address holding the most",
       {{"127.0.1.1", idle, 2s}, {"127.0.1.2", idle, 3s}, {"127.0.1.2", idle, 2s}, {"127.0.1.3", idle, 10ms}},
       1},
      {"idle past the grace before any that sent something",
       {{"127.0.1.1", moving(Progress::inKeyExchange, 20s), 25s}, {"127.0.1.2", idle, 600ms}},
       1},
      {"a holder silent for seconds before a phone moving in its key exchange",
       {{"127.0.0.250", moving(Progress::inKeyExchange, 5ms), 50ms},
        {"127.0.1.1", moving(Progress::pastKeyExchange, 8s), 9s},
        {"127.0.1.2", moving(Progress::pastKeyExchange, 10ms), 20ms}},
       1},
      {"of the silent, the least far first, as idle holders of the key exchange are",
       {{"127.0.0.250", moving(Progress::pastKeyExchange, 1500ms), 2s},
        {"127.0.1.1", moving(Progress::inKeyExchange, 700ms), 1s}},
       1},
      {"a phone moving past the key exchange stays while newcomers have their grace",
       {{"127.0.0.250", moving(Progress::pastKeyExchange, 5ms), 3s},
        {"127.0.1.1", idle, 100ms},
        {"127.0.1.2", idle, 200ms}},
       -1},
      {"holders through the key exchange younger than the grace make room, not a phone in longer",
       {{"127.0.1.1", moving(Progress::pastKeyExchange, 100ms), 150ms},
        {"127.0.1.2", moving(Progress::pastKeyExchange, 50ms), 100ms},
        {"127.0.0.250", moving(Progress::pastKeyExchange, 2ms), 3s},
        {"127.0.1.3", idle, 10ms}},
       0},
      {"beside newcomers, of those in the key exchange the one silent longest",
       {{"127.0.1.1", moving(Progress::pastKeyExchange, 400ms), 1s},
        {"127.0.0.250", moving(Progress::inKeyExchange, 5ms), 1s},
        {"127.0.1.2", moving(Progress::inKeyExchange, 60ms), 1s},
        {"127.0.1.3", idle, 10ms}},
       2},
      {"past the key exchange, the one silent longest once no newcomer is within its grace",
       {{"127.0.1.1", moving(Progress::pastKeyExchange, 40ms), 1s},
        {"127.0.0.250", moving(Progress::pastKeyExchange, 5ms), 1s}},
       0},
  };
  for (const auto& item : cases) {
    SCOPED_TRACE(item.name);
    ConnectionLimits limits;
    limits.firstBytesGrace = 500ms;
    limits.mostBeforeQuestion = item.places.size();
    UnansweredConnections unanswered(limits);
    const auto now = Clock::now();
    std::vector<Uuid> ids;
    std::unordered_map<Uuid, Standing> standings;
    for (const auto& place : item.places) {
      ids.push_back(Uuid::random());
      standings[ids.back()] = place.standing;
      ASSERT_TRUE(unanswered.admit(ids.back(), place.address, {}, now - place.age).admitted);
    }
    auto standingOf = [&](const Uuid& id) { return standings.at(id); };
    const auto newcomer = Uuid::random();
    auto admission = unanswered.admit(newcomer, "127.0.2.1", standingOf, now);
    if (item.dropped < 0) {
      EXPECT_FALSE(admission.admitted);
      EXPECT_FALSE(admission.addressFull);
      EXPECT_FALSE(admission.dropped);
      for (const auto& id : ids) EXPECT_TRUE(unanswered.isBeforeQuestion(id));
    } else {
      EXPECT_TRUE(admission.admitted);
      ASSERT_TRUE(admission.dropped);
      EXPECT_EQ(*admission.dropped, ids[static_cast<std::size_t>(item.dropped)]);
      EXPECT_FALSE(unanswered.isBeforeQuestion(ids[static_cast<std::size_t>(item.dropped)]));
      EXPECT_TRUE(unanswered.isBeforeQuestion(newcomer));
    }
  }
}

// Before the question a sender must keep sending, however long its offer
// takes: silence and a pace far below any phone's end it, time does not.
TEST(UnansweredConnections, ABoundBeforeTheQuestionCountsSilenceAndPace) {
  using Verdict = UnansweredConnections::Verdict;
  struct Case {
    const char* name;
    std::uint64_t bytesPerSecond;
    Clock::duration silentAtEnd;  // how long it has been silent at each check
    int seconds;                  // checked once a second this long
    Verdict last;
  };
  const std::vector<Case> cases = {
      {"an offer at 25 KB/s for two minutes", 25'000, 10ms, 120, Verdict::keep},
      {"at the least pace", 1024, 900ms, 120, Verdict::keep},
      {"one byte a second", 1, 900ms, 120, Verdict::tooSlow},
      {"silent for the time to the question", 25'000, 30s, 5, Verdict::silent},
  };
  for (const auto& item : cases) {
    SCOPED_TRACE(item.name);
    ConnectionLimits limits;
    UnansweredConnections unanswered(limits);
    const auto start = Clock::now();
    const auto id = Uuid::random();
    ASSERT_TRUE(unanswered.admit(id, "127.0.0.250", {}, start).admitted);
    UnansweredConnections::Watch watch;
    int second = 1;
    for (; second <= item.seconds; ++second) {
      const auto now = start + std::chrono::seconds(second);
      watch = unanswered.watch(id, item.bytesPerSecond * static_cast<std::uint64_t>(second), now - item.silentAtEnd,
                               now);
      if (watch.verdict != Verdict::keep) break;
      EXPECT_GT(watch.nextCheck, now);
      EXPECT_LE(watch.nextCheck, now + limits.paceWindow);
    }
    EXPECT_EQ(watch.verdict, item.last);
    if (item.last == Verdict::tooSlow) {
      EXPECT_EQ(second, 30) << "at the end of the first window";
    }
  }
  ConnectionLimits limits;
  UnansweredConnections unanswered(limits);
  const auto id = Uuid::random();
  const auto now = Clock::now();
  ASSERT_TRUE(unanswered.admit(id, "127.0.0.250", {}, now).admitted);
  ASSERT_EQ(unanswered.enterQuestion(id, 1), UnansweredConnections::Refusal::none);
  EXPECT_EQ(unanswered.watch(id, 0, now - 1h, now + 1h).verdict, Verdict::notBeforeQuestion) << "at its question";
}

}  // namespace
}  // namespace orvel
