#include "platform/TcpListener.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

#include "platform/LoopbackSupport.h"
#include "support/PrivateNetwork.h"

namespace orvel {
namespace {

using State = TcpListener::State;
using test::LoopbackClient;
using test::RecordingListener;

TEST(TcpListenerLoopback, ReportsReadyAndDeliversConnectionsOverBothFamilies) {
  RecordingListener recording;
  EXPECT_NE(recording.listener->port(), 0);
  ASSERT_TRUE(recording.waitFor(State::ready, 1));
  EXPECT_EQ(recording.states.values().front().first, State::ready);

  LoopbackClient overIpv4(recording.listener->port());
  LoopbackClient overIpv6(recording.listener->port(), asio::ip::address_v6::loopback());
  ASSERT_TRUE(recording.connections.waitForCount(2));

  std::vector<std::string> remotes;
  for (auto& connection : recording.connections.values()) remotes.push_back(connection->remoteEndpointDescription());
  std::vector<std::string> expected{"127.0.0.1:" + std::to_string(overIpv4.socket().local_endpoint().port()),
                                    "[::1]:" + std::to_string(overIpv6.socket().local_endpoint().port())};
  std::sort(remotes.begin(), remotes.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(remotes, expected);
}

TEST(TcpListenerLoopback, CreationFailsOnATakenPort) {
  auto first = TcpListener::create(0);
  try {
    TcpListener::create(first->port());
    FAIL() << "a second listener was created on a taken port";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code(), asio::error::address_in_use);
  }
}

TEST(TcpListenerLoopback, CancelReportsCancelledOnceAndStopsAccepting) {
  test::PrivateNetwork network;  // where no other process can take the freed port
  RecordingListener recording;
  ASSERT_TRUE(recording.waitFor(State::ready, 1));
  auto port = recording.listener->port();
  recording.listener->cancel();
  recording.listener->cancel();
  ASSERT_TRUE(recording.waitFor(State::cancelled, 1));

  EXPECT_THROW(LoopbackClient{port}, std::system_error);
  // Let anything that might still be in flight arrive before counting.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(recording.countOf(State::cancelled), 1u);
  EXPECT_TRUE(recording.connections.values().empty());
}

// Lowers the descriptor limit so that the next descriptor cannot be had, and
// restores it on exit.
class DescriptorShortage {
 public:
  DescriptorShortage() {
    getrlimit(RLIMIT_NOFILE, &saved_);
    int lowestFree = dup(0);
    close(lowestFree);
    rlimit lowered = saved_;
    lowered.rlim_cur = static_cast<rlim_t>(lowestFree);
    setrlimit(RLIMIT_NOFILE, &lowered);
  }
  ~DescriptorShortage() { end(); }
  void end() { setrlimit(RLIMIT_NOFILE, &saved_); }

 private:
  rlimit saved_{};
};

TEST(TcpListenerLoopback, WaitsWhileDescriptorsRunOutThenAcceptsAgain) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "the sanitizers' own memory checks need descriptors";
#endif
  RecordingListener recording;
  ASSERT_TRUE(recording.waitFor(State::ready, 1));
  // The first client's descriptor exists before the shortage; the server side
  // cannot get one. The limit may still leave one slot that an accept in
  // flight held for a moment: then that client is taken at once, and the
  // listener waits at its next accept instead.
  asio::io_context context;
  asio::ip::tcp::socket first(context), second(context);
  first.open(asio::ip::tcp::v4());
  {
    DescriptorShortage shortage;
    first.connect({asio::ip::address_v4::loopback(), recording.listener->port()});
    ASSERT_TRUE(recording.waitFor(State::waiting, 1));
    shortage.end();
  }
  // Either way, ready comes again with the next connection accepted.
  second.connect({asio::ip::address_v4::loopback(), recording.listener->port()});
  ASSERT_TRUE(recording.connections.waitForCount(2));
  ASSERT_TRUE(recording.waitFor(State::ready, 2));

  auto states = recording.states.values();
  ASSERT_GE(states.size(), 3u);
  EXPECT_EQ(states[0].first, State::ready);
  EXPECT_EQ(states[1].first, State::waiting);
  EXPECT_EQ(states[1].second, asio::error::no_descriptors);
  EXPECT_EQ(states[2].first, State::ready);
  EXPECT_EQ(recording.countOf(State::waiting), 1u);
}

// A phone that leaves the network sends neither FIN nor reset. The system's
// probes find it gone while the receiver waits for it, and its user time-out
// while data sent to it stays unacknowledged: either way, a failed receive.
TEST(TcpListenerLoopback, APeerThatVanishedFailsItsConnectionWhetherWaitedForOrSentTo) {
  using namespace std::chrono_literals;
  test::Recorder<std::error_code> failures;
  test::PrivateNetwork network;  // whose loopback the test takes away
  RecordingListener recording(TcpListener::create(0, WorkerPool::shared(), {1s, 1s, 2s}));
  LoopbackClient waitedFor(recording.listener->port()), sentTo(recording.listener->port());
  ASSERT_TRUE(recording.connections.waitForCount(2));
  auto connections = recording.connections.values();
  auto queue = StrandQueue::create("test.connection");
  for (auto& connection : connections) {
    connection->setStateUpdateHandler([](Connection::State, std::error_code) {});
    connection->start(queue);
    connection->receive(1, 1, [&failures](std::optional<Bytes>, bool, std::error_code error) { failures.add(error); });
  }
  network.takeLoopbackDown();
  connections.back()->send(Bytes(1000, 'x'), {});  // unsent data stops the probes: only the time-out ends it
  ASSERT_TRUE(failures.waitForCount(2, 30s));
  EXPECT_EQ(failures.values(), std::vector<std::error_code>(2, asio::error::timed_out));
}

// Read back from an accepted socket, the system's numbers give up on a
// phone within 150 s of its last word, and keep one that was out of reach
// for any outage shorter than 100 s, however long it had been silent before.
TEST(TcpListenerLoopback, AcceptedSocketsOutliveABriefOutageAndGiveUpOnAVanishedPeerInTime) {
  using std::chrono::seconds;
  RecordingListener recording;
  LoopbackClient client(recording.listener->port());
  ASSERT_TRUE(recording.connections.waitForCount(1));
  const int descriptor = test::acceptedEndOf(client.socket());
  ASSERT_GE(descriptor, 0);
  auto option = [descriptor](int level, int name) {
    int value = -1;
    socklen_t size = sizeof value;
    EXPECT_EQ(::getsockopt(descriptor, level, name, &value, &size), 0);
    return value;
  };
  EXPECT_EQ(option(SOL_SOCKET, SO_KEEPALIVE), 1);
  const seconds idle{option(IPPROTO_TCP, TCP_KEEPIDLE)}, interval{option(IPPROTO_TCP, TCP_KEEPINTVL)};
  const auto probes = option(IPPROTO_TCP, TCP_KEEPCNT);
  const auto userTimeout = std::chrono::milliseconds(option(IPPROTO_TCP, TCP_USER_TIMEOUT));
  ASSERT_GT(interval.count(), 0);

  // From the last segment received, probes go out at idle, idle + interval and
  // so on; the first at or past the user time-out gives up instead.
  const auto probesBefore = (userTimeout - idle + interval - std::chrono::milliseconds(1)) / interval;
  const auto givenUp = idle + probesBefore * interval;
  EXPECT_LE(givenUp, seconds(150));
  // An outage begins at the latest just before the first probe; it survives
  // if it ends before the last one.
  const auto lastProbe = givenUp - interval;
  EXPECT_GE(lastProbe - idle, seconds(100));
  EXPECT_EQ(idle + probes * interval, givenUp) << "the same end where the system has no user time-out";
}

}  // namespace
}  // namespace orvel
