#include "services/ConnectionManager.h"

#include <asio/read.hpp>
#include <asio/write.hpp>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <thread>

#include "network/InboundConnection.h"
#include "platform/Log.h"
#include "platform/LoopbackSupport.h"
#include "platform/MainLoop.h"
#include "platform/StrandQueue.h"
#include "support/MemoryConnection.h"
#include "support/PrivateNetwork.h"
#include "support/StopListening.h"
#include "support/TestSender.h"

namespace orvel {
namespace {

using namespace std::chrono_literals;
using test::LoopbackClient;

// What the shell would hear, each call with the thread it ran on.
class RecordingDelegate : public ConnectionManagerDelegate {
 public:
  struct Call {
    std::string kind;
    Uuid sessionId;
    std::string senderName;
    std::string detail;  // the error's text, or the PIN
    bool onMainThread;
  };

  void connectionManagerDidReceiveTransferRequest(ConnectionManager&, const TransferRequest& request) override {
    calls.push_back({"request", request.sessionId, request.senderName, request.pin, onMain()});
  }
  void connectionManagerDidCompleteTransfer(ConnectionManager&, const TransferSession& session) override {
    calls.push_back({"complete", session.id, session.senderName, session.pin, onMain()});
  }
  void connectionManagerDidFailTransfer(ConnectionManager&, const TransferSession& session,
                                        const EngineError& error) override {
    calls.push_back({"fail", session.id, session.senderName, describe(error), onMain()});
    failedSessions.push_back(session);
  }

  std::vector<Call> calls;  // main thread only
  std::vector<TransferSession> failedSessions;
  std::thread::id mainThread = std::this_thread::get_id();

 private:
  bool onMain() const { return std::this_thread::get_id() == mainThread; }
};

bool runMainLoopUntil(const std::function<bool()>& done) { return MainLoop::shared().runUntil(done, 10s); }

class ConnectionManagerLoopback : public ::testing::Test {
 protected:
  void SetUp() override { manager->setDelegate(delegate); }
  void TearDown() override { EXPECT_TRUE(test::stopListeningAndWait(*manager)); }

  // Starts listening and waits (on the main loop) until onReady ran.
  void listen() {
    auto ready = readyPorts;
    manager->setOnReady([ready](std::uint16_t port) { ready->push_back(port); });
    manager->startListening();
    ASSERT_TRUE(runMainLoopUntil([&] { return !readyPorts->empty(); }));
  }
  bool waitForSessions(std::size_t count) {
    return runMainLoopUntil([&] { return manager->activeSessionIds().size() == count; });
  }

  LogCapture log;
  std::shared_ptr<ConnectionManager> manager = ConnectionManager::create(0);
  std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
  std::shared_ptr<std::vector<std::uint16_t>> readyPorts = std::make_shared<std::vector<std::uint16_t>>();
};

TEST_F(ConnectionManagerLoopback, ListensOnTheFirstPortAndReportsItOnTheMainLoop) {
  test::PrivateNetwork network;  // where nothing else can hold the port
  const std::uint16_t firstPort = ConnectionManager::defaultPort;
  manager = ConnectionManager::create();
  EXPECT_FALSE(manager->listeningPort().has_value());
  listen();

  auto port = std::to_string(firstPort);
  auto lines = log.linesStartingWith("[ConnectionManager]");
  std::vector<std::string> expected{"[ConnectionManager] startListening called",
                                    "[ConnectionManager] Trying port " + port,
                                    "[ConnectionManager] Created listener on port " + port,
                                    "[ConnectionManager] Starting listener...",
                                    "[ConnectionManager] Listener state: ready",
                                    "[ConnectionManager] Listener ready on port " + port};
  EXPECT_EQ(lines, expected);
  EXPECT_EQ(*readyPorts, std::vector<std::uint16_t>{firstPort});
  EXPECT_EQ(manager->listeningPort(), firstPort);
  EXPECT_NO_THROW(LoopbackClient{firstPort});

  manager->stopListening();
  EXPECT_FALSE(manager->listeningPort().has_value());
  EXPECT_TRUE(runMainLoopUntil([&] { return log.contains("[ConnectionManager] Listener cancelled"); }));
  EXPECT_THROW(LoopbackClient{firstPort}, std::system_error);
}

TEST_F(ConnectionManagerLoopback, FallsBackToASystemPortWhenTheFirstIsTaken) {
  auto occupant = TcpListener::create(0);
  auto taken = std::to_string(occupant->port());
  manager = ConnectionManager::create(occupant->port());
  manager->setDelegate(delegate);
  listen();

  auto port = manager->listeningPort();
  ASSERT_TRUE(port.has_value());
  EXPECT_NE(*port, occupant->port());
  EXPECT_EQ(*readyPorts, std::vector<std::uint16_t>{*port});
  auto lines = log.linesStartingWith("[ConnectionManager]");
  std::vector<std::string> expected{"[ConnectionManager] startListening called",
                                    "[ConnectionManager] Trying port " + taken,
                                    "[ConnectionManager] Port " + taken + " failed: Address already in use",
                                    "[ConnectionManager] Trying port 0",
                                    "[ConnectionManager] Created listener on port 0",
                                    "[ConnectionManager] Starting listener...",
                                    "[ConnectionManager] Listener state: ready",
                                    "[ConnectionManager] Listener ready on port " + std::to_string(*port)};
  EXPECT_EQ(lines, expected);
  LoopbackClient client(*port);  // the fallback really listens
}

TEST_F(ConnectionManagerLoopback, RegistersEachSenderUnderItsOwnSessionAndDropsItWhenTheStreamEnds) {
  listen();
  auto first = std::make_unique<LoopbackClient>(*manager->listeningPort());
  LoopbackClient second(*manager->listeningPort());
  ASSERT_TRUE(waitForSessions(2));
  auto ids = manager->activeSessionIds();
  EXPECT_NE(ids[0], ids[1]);
  auto remote = "[ConnectionManager] New connection from 127.0.0.1:" +
                std::to_string(first->socket().local_endpoint().port());
  EXPECT_TRUE(log.contains(remote));

  first.reset();  // ends the stream at a frame boundary
  ASSERT_TRUE(waitForSessions(1));
  std::this_thread::sleep_for(20ms);
  MainLoop::shared().runUntil([] { return false; }, 20ms);
  EXPECT_TRUE(delegate->calls.empty()) << "an ended stream is not reported to the shell";
}

// Whether the sender said nothing yet or already introduced its files, the
// failure carries no files and no PIN, and the sender's name once it gave one.
TEST_F(ConnectionManagerLoopback, FailureReachesTheShellWithoutFilesOrPinAndLeavesTheRegistry) {
  listen();
  for (bool introduced : {false, true}) {
    SCOPED_TRACE(introduced ? "after the INTRODUCTION" : "before any frame");
    delegate->calls.clear();
    delegate->failedSessions.clear();
    LoopbackClient client(*manager->listeningPort());
    ASSERT_TRUE(waitForSessions(1));
    auto sessionId = manager->activeSessionIds().front();
    if (introduced) {
      test::TestSender sender;
      auto send = [&](ByteView body) { asio::write(client.socket(), asio::buffer(test::framed(body))); };
      send(sender.connectionRequest());
      send(sender.clientInit());
      std::uint8_t prefix[4];
      asio::read(client.socket(), asio::buffer(prefix));
      Bytes serverInit(fromBigEndian32(prefix));
      asio::read(client.socket(), asio::buffer(serverInit));
      send(sender.clientFinish(serverInit));
      send(sender.connectionResponse());
      for (const auto& body : sender.introduction({{"a.txt", Bytes(5, 0x61), 7}})) send(body);
      ASSERT_TRUE(runMainLoopUntil([&] { return !delegate->calls.empty(); }));
      EXPECT_EQ(delegate->calls.front().kind, "request");
      EXPECT_EQ(delegate->calls.front().detail, sender.pin());
    }
    asio::write(client.socket(), asio::buffer(std::string(4, '\0')));  // a frame length of zero

    ASSERT_TRUE(runMainLoopUntil([&] { return !delegate->failedSessions.empty(); }));
    ASSERT_TRUE(waitForSessions(0));
    auto& call = delegate->calls.back();
    EXPECT_EQ(call.kind, "fail");
    EXPECT_EQ(call.sessionId, sessionId);
    EXPECT_EQ(call.detail, "transferFailed");
    EXPECT_TRUE(call.onMainThread);
    auto& session = delegate->failedSessions.front();
    EXPECT_EQ(session.senderName, introduced ? "Pixel 9" : "Unknown");
    EXPECT_TRUE(session.files.empty());
    EXPECT_TRUE(session.pin.empty());
    EXPECT_EQ(session.state, TransferState::failed);
  }
}

// Only a decline the connection carries out ends it, and takes it out of the
// registry: one that finds no offer leaves it registered, as it may still
// receive the answer to an offer yet to come.
TEST_F(ConnectionManagerLoopback, DeclineDuringTheHandshakeSendsNothingAndLeavesTheConnectionOpenUntilStopListening) {
  listen();
  LoopbackClient client(*manager->listeningPort());
  ASSERT_TRUE(waitForSessions(1));
  auto sessionId = manager->activeSessionIds().front();
  manager->acceptTransfer(TransferRequest{Uuid::random(), "Pixel", {}, ""});  // unknown: ignored
  manager->declineTransfer(TransferRequest{Uuid::random(), "Pixel", {}, ""});  // unknown: ignored
  ASSERT_EQ(manager->activeSessionIds().size(), 1u);

  manager->declineTransfer(TransferRequest{sessionId, "Pixel", {}, "", 1});
  // Nothing was sent, and the connection still runs the handshake: the
  // first answer the sender gets is the SERVER_INIT.
  test::TestSender sender;
  asio::write(client.socket(), asio::buffer(test::framed(sender.connectionRequest())));
  asio::write(client.socket(), asio::buffer(test::framed(sender.clientInit())));
  std::uint8_t prefix[4];
  asio::read(client.socket(), asio::buffer(prefix));
  Bytes serverInit(fromBigEndian32(prefix));
  asio::read(client.socket(), asio::buffer(serverInit));
  EXPECT_NO_THROW(sender.clientFinish(serverInit));
  MainLoop::shared().runUntil([] { return false; }, 20ms);
  EXPECT_TRUE(delegate->calls.empty());
  EXPECT_EQ(manager->activeSessionIds(), std::vector<Uuid>{sessionId});

  EXPECT_TRUE(test::stopListeningAndWait(*manager));  // ends it too, registered or not
  timeval patience{10, 0};
  setsockopt(client.socket().native_handle(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  std::string rest;
  std::error_code error;
  asio::read(client.socket(), asio::dynamic_buffer(rest), error);
  EXPECT_EQ(error, asio::error::eof);
}

TEST_F(ConnectionManagerLoopback, StopListeningClosesEveryConnection) {
  listen();
  LoopbackClient first(*manager->listeningPort());
  LoopbackClient second(*manager->listeningPort());
  ASSERT_TRUE(waitForSessions(2));

  EXPECT_TRUE(test::stopListeningAndWait(*manager));
  EXPECT_TRUE(manager->activeSessionIds().empty());
  for (auto* client : {&first, &second}) {
    std::string received;
    std::error_code error;
    asio::read(client->socket(), asio::dynamic_buffer(received), error);
    EXPECT_EQ(error, asio::error::eof);
  }
}

// A connection that never carries anything: the reports below are made by hand.
class SilentConnection : public Connection {
 public:
  void setStateUpdateHandler(StateUpdateHandler) override {}
  void start(std::shared_ptr<SerialQueue>) override {}
  void receive(std::size_t, std::size_t, ReceiveCompletion) override {}
  void send(Bytes, SendCompletion) override {}
  void cancel() override {}
  void cancelAfterSends(std::chrono::steady_clock::duration) override {}
  std::string remoteEndpointDescription() const override { return "silent"; }
  ReceiveProgress receiveProgress() const override { return {}; }
};

TEST(ConnectionManagerThreaded, ReportsReachTheMainLoopInTheOrderEachConnectionMadeThem) {
  auto manager = ConnectionManager::create();
  auto delegate = std::make_shared<RecordingDelegate>();
  manager->setDelegate(delegate);
  constexpr int senders = 4;
  constexpr int reportsEach = 200;
  for (int sender = 0; sender < senders; ++sender) {
    auto queue = StrandQueue::create("com.orvel.connection");
    auto connection = InboundConnection::create(std::make_shared<SilentConnection>(), Uuid::random(), queue);
    queue->async([manager, connection] {
      for (int index = 0; index < reportsEach; ++index) {
        TransferRequest request{connection->sessionId(), "Pixel", {}, std::to_string(index)};
        manager->connectionDidReceiveTransferRequest(*connection, request);
      }
      TransferSession done{connection->sessionId(), "Pixel", {}, "end", TransferState::completed};
      manager->connectionDidCompleteTransfer(*connection, done);
    });
  }
  ASSERT_TRUE(runMainLoopUntil([&] { return delegate->calls.size() == senders * (reportsEach + 1); }));

  std::unordered_map<Uuid, int> next;
  for (auto& call : delegate->calls) {
    EXPECT_TRUE(call.onMainThread);
    auto& expected = next[call.sessionId];
    if (call.kind == "request") {
      ASSERT_EQ(call.detail, std::to_string(expected++));
    } else {
      ASSERT_EQ(expected, reportsEach) << "completion overtook a request";
    }
  }
  EXPECT_EQ(next.size(), static_cast<std::size_t>(senders));
}

TEST(ConnectionManagerThreaded, ReportsAreDroppedOnceTheDelegateIsGone) {
  auto manager = ConnectionManager::create();
  auto delegate = std::make_shared<RecordingDelegate>();
  manager->setDelegate(delegate);
  auto queue = StrandQueue::create("com.orvel.connection");
  auto connection = InboundConnection::create(std::make_shared<SilentConnection>(), Uuid::random(), queue);
  std::weak_ptr<RecordingDelegate> watch = delegate;
  test::Recorder<bool> reported;
  queue->async([&] {
    manager->connectionDidFail(*connection, ConnectionError::handshakeFailed);
    reported.add(true);
  });
  ASSERT_TRUE(reported.waitForCount(1));
  delegate.reset();
  EXPECT_TRUE(watch.expired());
  MainLoop::shared().runUntil([] { return false; }, 30ms);  // runs the forwarded call: must do nothing
}

// Every address is a sender of its own, however it is written: phones of one
// IPv6 network share its /64, and two of them must not share a bound.
TEST(SenderAddress, IsTheWholeAddressIPv6AsIPv4) {
  struct Case {
    const char* first;
    const char* second;
    bool same;
  };
  const std::vector<Case> cases = {
      {"192.168.1.20:40000", "192.168.1.20:40001", true},
      {"192.168.1.20:40000", "192.168.1.21:40000", false},
      {"[2001:db8::1]:40000", "[2001:db8::1]:40001", true},
      {"[2001:db8::1]:40000", "[2001:db8::2]:40000", false},
      {"[2001:DB8:0::1]:40000", "[2001:db8::1]:40001", true},
      {"[fe80::1%lo]:40000", "[fe80::1%lo]:40001", true},
      {"[fe80::1%lo]:40000", "[fe80::2%lo]:40000", false},
      {"[::ffff:192.168.1.20]:40000", "192.168.1.20:40001", true},
  };
  for (const auto& item : cases) {
    SCOPED_TRACE(std::string(item.first) + " and " + item.second);
    EXPECT_EQ(senderAddressOf(item.first) == senderAddressOf(item.second), item.same);
    ConnectionLimits limits;
    limits.mostBeforeQuestionPerAddress = 1;
    limits.mostWaitingQuestionsPerAddress = 1;
    UnansweredConnections unanswered(limits);
    const auto first = Uuid::random(), second = Uuid::random();
    auto idle = [](const Uuid&) { return UnansweredConnections::Standing{}; };
    const auto now = std::chrono::steady_clock::now();
    ASSERT_TRUE(unanswered.admit(first, senderAddressOf(item.first), idle, now).admitted);
    EXPECT_EQ(unanswered.admit(second, senderAddressOf(item.second), idle, now).admitted, !item.same);
  }
}

}  // namespace
}  // namespace orvel
