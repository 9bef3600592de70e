#include <asio/read.hpp>
#include <asio/write.hpp>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "platform/Log.h"
#include "platform/LoopbackSupport.h"
#include "platform/MainLoop.h"
#include "services/ConnectionManager.h"
#include "services/FakeNotificationHandler.h"
#include "services/TransferCoordinator.h"
#include "support/MemoryConnection.h"
#include "support/StopListening.h"
#include "support/TestSender.h"
#include "support/TestSupport.h"

namespace orvel {
namespace {

using namespace std::chrono_literals;
using test::TestFile;
using test::TestSender;

bool runMainLoopUntil(const std::function<bool()>& done) { return MainLoop::shared().runUntil(done, 20s); }

// Waits while the main loop stands still, so that what the connections post
// to it stays unseen by the shell meanwhile.
bool waitWithoutMainLoop(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// Runs the main loop until what was posted to it so far has run.
bool drainMainLoop() {
  auto drained = std::make_shared<bool>(false);
  MainLoop::shared().async([drained] { *drained = true; });
  return runMainLoopUntil([&] { return *drained; });
}

Bytes patterned(std::size_t length, std::uint8_t seed) {
  Bytes bytes(length);
  for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 13 + i / 509);
  return bytes;
}

// A phone on the other end of a real loopback socket.
class LoopbackSender {
 public:
  explicit LoopbackSender(std::uint16_t port, std::string name) : client_(port), sender_(std::move(name)) {}
  // One that stops reading once introduced, with the smallest receive buffer.
  LoopbackSender(std::uint16_t port, std::string name, test::LoopbackClient::NotReading notReading)
      : client_(port, notReading), sender_(std::move(name)) {}
  LoopbackSender(std::uint16_t port, std::string name, const char* sourceAddress)
      : client_(port, test::LoopbackClient::From{asio::ip::make_address(sourceAddress)}), sender_(std::move(name)) {}

  void send(ByteView body) {
    asio::write(client_.socket(), asio::buffer(test::framed(body)));
  }
  void send(const std::vector<Bytes>& bodies) {
    for (const auto& body : bodies) send(body);
  }
  // For a sender the receiver may cut off: stops at the first failed write.
  void sendUntilRefused(const std::vector<Bytes>& bodies) {
    try {
      send(bodies);
    } catch (const std::system_error&) {
    }
  }
  Bytes receive() {
    waitUntilReadable();
    std::uint8_t prefix[4];
    asio::read(client_.socket(), asio::buffer(prefix));
    Bytes body(fromBigEndian32(prefix));
    asio::read(client_.socket(), asio::buffer(body));
    return body;
  }
  // The Sharing frame that the receiver's next encrypted BYTES payload carries.
  sharing::nearby::Frame receiveSharingFrame() {
    for (;;) {
      auto received = sender_.openEncrypted(receive());
      if (received.sharing) return *received.sharing;
    }
  }
  // Skips the receiver's encrypted frames up to its plaintext completion notice.
  bool receiveCompletionNotice() {
    for (;;) {
      auto body = receive();
      try {
        (void)sender_.openEncrypted(body);
      } catch (...) {
        return TestSender::openPlaintext(body).frame.v1().disconnection().ack_safe_to_disconnect();
      }
    }
  }
  // Nothing to read, and no end of the stream: the receiver keeps the connection.
  bool receiverKeepsOpen() {
    auto& socket = client_.socket();
    socket.non_blocking(true);
    std::uint8_t byte;
    std::error_code error;
    socket.read_some(asio::buffer(&byte, 1), error);
    socket.non_blocking(false);
    return error == asio::error::would_block;
  }
  // Reads the receiver's remaining frames until it closes the stream.
  bool receiverClosed() {
    std::uint8_t rest[4096];
    std::error_code error;
    while (!error) {
      waitUntilReadable();
      client_.socket().read_some(asio::buffer(rest), error);
    }
    return error == asio::error::eof;
  }
  // Reads what is left until the receiver ends the connection, whether it
  // closed it or reset it over unread bytes; false if it is still open after
  // a generous while.
  bool receiverEnded() {
    std::vector<std::uint8_t> rest(64 * 1024);
    std::error_code error;
    while (!error) {
      // A blocking read would wait for ever: asio waits out a receive time-out itself.
      pollfd readable{client_.socket().native_handle(), POLLIN, 0};
      if (::poll(&readable, 1, 10'000) != 1) return false;
      client_.socket().read_some(asio::buffer(rest), error);
    }
    return error == asio::error::eof || error == asio::error::connection_reset;
  }
  // Plaintext KEEP_ALIVEs, each of which the receiver answers; false once
  // the receiver ended the connection.
  bool sendKeepAlives(std::size_t count) {
    Bytes frames;
    for (std::size_t i = 0; i < count; ++i) {
      auto frame = test::framed(TestSender::keepAlive());
      frames.insert(frames.end(), frame.begin(), frame.end());
    }
    std::error_code error;
    asio::write(client_.socket(), asio::buffer(frames), error);
    return !error;
  }
  void halfClose() { client_.socket().shutdown(asio::socket_base::shutdown_send); }
  asio::ip::tcp::socket& socket() { return client_.socket(); }

  // Everything up to the receiver's question to its user.
  void introduce(const std::vector<TestFile>& files) {
    openChannel();
    send(sender_.introduction(files));
  }
  // The handshake and the paired keys: the receiver waits for an INTRODUCTION.
  void openChannel() {
    send(sender_.connectionRequest());
    send(sender_.clientInit());
    auto serverInit = receive();
    send(sender_.clientFinish(serverInit));
    send(sender_.connectionResponse());
    (void)TestSender::openPlaintext(receive());  // the receiver's CONNECTION_RESPONSE
    EXPECT_EQ(receiveSharingFrame().v1().type(), sharing::nearby::V1Frame::PAIRED_KEY_ENCRYPTION);
    send(sender_.pairedKeyEncryption());
    send(sender_.pairedKeyResult());
    EXPECT_EQ(receiveSharingFrame().v1().type(), sharing::nearby::V1Frame::PAIRED_KEY_RESULT);
  }
  // Another INTRODUCTION on the open channel.
  void offer(const std::vector<TestFile>& files) { send(sender_.introduction(files)); }
  void sendFiles(const std::vector<TestFile>& files) {
    for (const auto& file : files) send(sender_.fileChunks(file));
  }
  TestSender& sender() { return sender_; }
  std::string pin() const { return sender_.pin(); }

 private:
  // A receiver that never answers fails the test instead of hanging it.
  void waitUntilReadable() {
    pollfd readable{client_.socket().native_handle(), POLLIN, 0};
    if (::poll(&readable, 1, 20'000) != 1) throw std::runtime_error("the receiver sent nothing for 20 s");
  }

  test::LoopbackClient client_;
  TestSender sender_;
};

class ConnectionManagerEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    home.writeDownloadPath(downloads.path());
    manager = ConnectionManager::create(0, limits);
    manager->setDelegate(coordinator);
    auto ready = std::make_shared<bool>(false);
    manager->setOnReady([ready](std::uint16_t) { *ready = true; });
    manager->startListening();
    ASSERT_TRUE(runMainLoopUntil([&] { return *ready; }));
  }
  void TearDown() override { EXPECT_TRUE(test::stopListeningAndWait(*manager)); }

  std::uint16_t port() const { return *manager->listeningPort(); }
  std::string downloaded(const std::string& name) const { return test::readFile(downloads.path() / name); }

  test::ScopedHome home;
  test::TemporaryDirectory downloads;
  LogCapture log;
  Analytics analytics;
  std::shared_ptr<test::FakeNotificationHandler> prompt = std::make_shared<test::FakeNotificationHandler>();
  std::shared_ptr<TransferCoordinator> coordinator = TransferCoordinator::create(prompt, analytics);
  ConnectionLimits limits;  // set before SetUp by the fixtures below
  std::shared_ptr<ConnectionManager> manager;
};

TEST_F(ConnectionManagerEndToEnd, AnAcceptedTransferIsWrittenAndReportedOnce) {
  std::vector<TestFile> files{{"photo.jpg", patterned(1'100'000, 3), 7, "image/jpeg"},
                              {"notes.txt", patterned(900, 9), 8, "text/plain"}};
  LoopbackSender phone(port(), "Pixel 9");
  phone.introduce(files);
  ASSERT_TRUE(runMainLoopUntil([&] { return prompt->asked.size() == 1; }));
  const auto& request = prompt->asked.front();
  EXPECT_EQ(request.senderName, "Pixel 9");
  EXPECT_EQ(request.pin, phone.pin());
  ASSERT_EQ(request.files.size(), 2u);
  EXPECT_EQ(request.files[0].size, 1'100'000);
  EXPECT_TRUE(log.contains("[TransferCoordinator] Incoming transfer from Pixel 9 (2 files)"));

  prompt->decisions.front()(true);
  EXPECT_EQ(phone.receiveSharingFrame().v1().connection_response().status(),
            sharing::nearby::ConnectionResponseFrame::ACCEPT);
  phone.sendFiles(files);
  ASSERT_TRUE(runMainLoopUntil([&] { return prompt->completed.size() == 1; }));

  EXPECT_EQ(downloaded("photo.jpg"), byteString(files[0].contents));
  EXPECT_EQ(downloaded("notes.txt"), byteString(files[1].contents));
  EXPECT_EQ(prompt->completed.front().id, request.sessionId);
  EXPECT_TRUE(log.contains("[TransferCoordinator] Transfer complete: 2 files saved to Downloads"));
  ASSERT_EQ(analytics.events().size(), 1u);
  EXPECT_EQ(analytics.events().front().name, "transfer_received");
  EXPECT_TRUE(runMainLoopUntil([&] { return manager->activeSessionIds().empty(); }));
}

TEST_F(ConnectionManagerEndToEnd, AfterCompletionTheConnectionLivesUntilTheSenderClosesIt) {
  std::vector<TestFile> files{{"clip.mp4", patterned(700'000, 5), 21}, {"list.txt", patterned(300, 6), 22}};
  const auto descriptorsBefore = test::openDescriptorCount();
  auto phone = std::make_unique<LoopbackSender>(port(), "Pixel 9");
  phone->introduce(files);
  ASSERT_TRUE(runMainLoopUntil([&] { return prompt->asked.size() == 1; }));
  prompt->decisions.front()(true);
  phone->receiveSharingFrame();
  phone->sendFiles(files);
  EXPECT_TRUE(phone->receiveCompletionNotice());
  ASSERT_TRUE(runMainLoopUntil([&] { return prompt->completed.size() == 1; }));
  EXPECT_TRUE(runMainLoopUntil([&] { return manager->activeSessionIds().empty(); }));

  // Out of the registry, the connection still reads: a frame is logged and dropped.
  phone->send(TestSender::keepAlive());
  EXPECT_TRUE(runMainLoopUntil(
      [&] { return log.contains("[InboundConnection] Unexpected frame in state: completed"); }));
  EXPECT_TRUE(phone->receiverKeepsOpen());

  phone.reset();  // the sender closes the stream: nothing of the connection is left
  EXPECT_TRUE(runMainLoopUntil([&] { return test::openDescriptorCount() == descriptorsBefore; }))
      << test::openDescriptorCount() << " descriptors, " << descriptorsBefore << " before";
  EXPECT_TRUE(manager->activeSessionIds().empty());
  EXPECT_EQ(test::folderEntries(downloads.path()), (std::vector<std::string>{"clip.mp4", "list.txt"}));
  EXPECT_EQ(prompt->completed.size(), 1u);
  EXPECT_TRUE(log.linesStartingWith("[TransferCoordinator] Transfer failed").empty());
}

// A sender that reads nothing and floods KEEP_ALIVEs: once more answers wait
// to be sent than a connection may keep, it is ended, and the receiver's
// memory does not grow with the flood.
TEST_F(ConnectionManagerEndToEnd, ASenderThatFloodsWithoutReadingIsEndedAndCostsBoundedMemory) {
  LoopbackSender phone(port(), "Pixel 9", test::LoopbackClient::NotReading{});
  ASSERT_TRUE(test::shrinkSendBufferOfAcceptedEnd(phone.socket()));
  phone.introduce({{"a.bin", patterned(100, 1), 7}});
  ASSERT_TRUE(runMainLoopUntil([&] { return prompt->asked.size() == 1; }));

  // 100,000 answers unsent would hold far more than the limit below.
  const auto before = static_cast<std::int64_t>(test::heapInUse());
  std::int64_t growth = 0;
  auto measure = [&] { growth = std::max(growth, static_cast<std::int64_t>(test::heapInUse()) - before); };
  for (int batch = 0; batch < 100 && phone.sendKeepAlives(1000); ++batch) measure();
  const bool ended = runMainLoopUntil([&] {
    measure();
    return log.contains("[TransferCoordinator] Transfer failed from Pixel 9: No buffer space available");
  });
  measure();
  EXPECT_LT(growth, 8 << 20);
  ASSERT_TRUE(ended);
  EXPECT_TRUE(manager->activeSessionIds().empty());
  EXPECT_TRUE(phone.receiverEnded());
}

// A sender that stops reading with answers still waiting to be sent, then
// leaves the connection without reading them, or is declined: whatever of
// it the receiver still holds, stopListening() closes and waits for.
enum class StalledEnd { halfCloses, isDeclined };

class ConnectionManagerEndToEndStalledSender : public ConnectionManagerEndToEnd,
                                               public ::testing::WithParamInterface<StalledEnd> {};

TEST_P(ConnectionManagerEndToEndStalledSender, LeavesNoSocketOpenOnceStopListeningReturns) {
  LoopbackSender phone(port(), "Pixel 9", test::LoopbackClient::NotReading{});
  ASSERT_TRUE(test::shrinkSendBufferOfAcceptedEnd(phone.socket()));
  const auto descriptorsConnected = test::openDescriptorCount();  // the listener's and the accepted socket among them
  phone.introduce({{"a.bin", patterned(100, 1), 7}});
  ASSERT_TRUE(runMainLoopUntil([&] { return prompt->asked.size() == 1; }));
  // More answers than the two small socket buffers hold, far fewer than may wait.
  constexpr std::size_t keepAlives = 150;
  ASSERT_TRUE(phone.sendKeepAlives(keepAlives));
  ASSERT_TRUE(runMainLoopUntil([&] {
    return log.linesStartingWith("[InboundConnection] Sending KEEP_ALIVE").size() == keepAlives;
  }));

  if (GetParam() == StalledEnd::isDeclined) {
    prompt->decisions.front()(false);
    ASSERT_TRUE(runMainLoopUntil([&] { return log.contains("[InboundConnection] CONNECTION_RESPONSE: sending 2 frames"); }));
  } else {
    phone.halfClose();
    ASSERT_TRUE(runMainLoopUntil([&] { return prompt->withdrawn.size() == 1; }));
    EXPECT_TRUE(manager->activeSessionIds().empty());  // what is left of it is out of the registry
  }

  EXPECT_TRUE(test::stopListeningAndWait(*manager)) << "a connection was not released in time";
  EXPECT_TRUE(runMainLoopUntil([&] { return test::openDescriptorCount() <= descriptorsConnected - 2; }))
      << test::openDescriptorCount() << " descriptors, " << descriptorsConnected << " while connected";
  EXPECT_TRUE(phone.receiverEnded());
}

INSTANTIATE_TEST_SUITE_P(Ends, ConnectionManagerEndToEndStalledSender,
                         ::testing::Values(StalledEnd::halfCloses, StalledEnd::isDeclined),
                         [](const auto& row) {
                           return row.param == StalledEnd::halfCloses ? "HalfCloses" : "IsDeclined";
                         });

// Before the key exchange anyone may connect and announce a frame of the
// wire's largest length; each such connection is ended at its length prefix,
// and none makes room for what it announced.
TEST_F(ConnectionManagerEndToEnd, HalfSentLargeFirstFramesAreRefusedAndCostNoRoom) {
  constexpr std::uint32_t announced = 4'999'999;
  constexpr int senders = 4;
  const auto before = static_cast<std::int64_t>(test::heapInUse());
  std::vector<std::unique_ptr<test::LoopbackClient>> clients;
  for (int index = 0; index < senders; ++index) {
    clients.push_back(std::make_unique<test::LoopbackClient>(port()));
    Bytes start(64 * 1024, 0x55);
    auto prefix = bigEndian32(announced);
    std::copy(prefix.begin(), prefix.end(), start.begin());
    std::error_code ignored;  // the receiver may have closed already
    asio::write(clients.back()->socket(), asio::buffer(start), ignored);
  }
  ASSERT_TRUE(runMainLoopUntil([&] {
    return log.linesStartingWith("[InboundConnection] Frame of 4999999 bytes before the encrypted channel").size() ==
           senders;
  }));
  EXPECT_LT(static_cast<std::int64_t>(test::heapInUse()) - before, static_cast<std::int64_t>(announced));
  for (auto& client : clients) {
    std::vector<std::uint8_t> rest(64);
    std::error_code error;
    timeval patience{10, 0};
    setsockopt(client->socket().native_handle(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    while (!error) client->socket().read_some(asio::buffer(rest), error);
    EXPECT_TRUE(error == asio::error::eof || error == asio::error::connection_reset) << error.message();
  }
}

TEST_F(ConnectionManagerEndToEnd, TwoSendersAtOnceAreDecidedSeparately) {
  std::vector<TestFile> first{{"a.bin", patterned(1000, 1), 11}};
  std::vector<TestFile> second{{"b.bin", patterned(600'000, 2), 12}};
  LoopbackSender declined(port(), "Galaxy");
  LoopbackSender accepted(port(), "Pixel");
  declined.introduce(first);
  accepted.introduce(second);
  ASSERT_TRUE(runMainLoopUntil([&] { return prompt->asked.size() == 2; }));
  EXPECT_NE(prompt->asked[0].sessionId, prompt->asked[1].sessionId);
  auto declinedIndex = prompt->asked[0].senderName == "Galaxy" ? 0 : 1;
  EXPECT_EQ(manager->activeSessionIds().size(), 2u);

  prompt->decisions[declinedIndex](false);
  EXPECT_EQ(declined.receiveSharingFrame().v1().connection_response().status(),
            sharing::nearby::ConnectionResponseFrame::REJECT);
  EXPECT_TRUE(declined.receiverClosed());
  EXPECT_TRUE(runMainLoopUntil([&] { return manager->activeSessionIds().size() == 1; }))
      << "the declined connection leaves as it closes; the other sender is still waiting";

  prompt->decisions[1 - declinedIndex](true);
  EXPECT_EQ(accepted.receiveSharingFrame().v1().connection_response().status(),
            sharing::nearby::ConnectionResponseFrame::ACCEPT);
  accepted.sendFiles(second);
  ASSERT_TRUE(runMainLoopUntil([&] { return prompt->completed.size() == 1; }));
  EXPECT_EQ(downloaded("b.bin"), byteString(second[0].contents));
  EXPECT_FALSE(std::filesystem::exists(downloads.path() / "a.bin"));
  EXPECT_TRUE(log.contains("[TransferCoordinator] Transfer complete: b.bin saved to Downloads"));
  ASSERT_EQ(analytics.events().size(), 2u);
  EXPECT_EQ(analytics.events()[0].name, "transfer_declined");
}

// The answer to a question the sender has replaced by the time it reaches
// the connection acts on nothing, and leaves the connection for the answer
// to the question now on screen.
TEST_F(ConnectionManagerEndToEnd, AnAnswerActsOnlyOnTheOfferItWasGivenTo) {
  const TestFile a{"a.txt", patterned(10, 1), 1};
  const TestFile b{"b.txt", patterned(20, 2), 2};
  struct Case {
    std::string name;
    std::vector<TestFile> secondOffer;
    bool firstAnswer;  // given as the second offer reaches the connection
    bool secondAnswer;
  };
  for (const auto& item : std::vector<Case>{{"y to an offer made again unchanged, n to the new one", {a}, true, false},
                                            {"n to an offer replaced, y to the new one", {b}, false, true}}) {
    SCOPED_TRACE(item.name);
    prompt->asked.clear();
    prompt->decisions.clear();
    log.clear();
    LoopbackSender phone(port(), "Pixel 9");
    phone.introduce({a});
    ASSERT_TRUE(runMainLoopUntil([&] { return prompt->asked.size() == 1; }));
    phone.offer(item.secondOffer);
    ASSERT_TRUE(waitWithoutMainLoop(
        [&] { return log.linesStartingWith("[InboundConnection] Received INTRODUCTION").size() == 2; }));
    prompt->decisions[0](item.firstAnswer);
    ASSERT_TRUE(runMainLoopUntil([&] {
      return prompt->asked.size() == 2 && log.contains("[InboundConnection] Answer ignored: it was given to offer 1, "
                                                       "and the sender has made offer 2 since");
    }));
    EXPECT_EQ(manager->activeSessionIds().size(), 1u);

    prompt->decisions[1](item.secondAnswer);
    auto status = phone.receiveSharingFrame().v1().connection_response().status();
    if (!item.secondAnswer) {
      EXPECT_EQ(status, sharing::nearby::ConnectionResponseFrame::REJECT);
      EXPECT_TRUE(phone.receiverClosed());
      continue;
    }
    EXPECT_EQ(status, sharing::nearby::ConnectionResponseFrame::ACCEPT);
    phone.sendFiles(item.secondOffer);
    ASSERT_TRUE(runMainLoopUntil([&] { return prompt->completed.size() == 1; }));
    EXPECT_EQ(test::folderEntries(downloads.path()), std::vector<std::string>{"b.txt"});
  }
  EXPECT_TRUE(runMainLoopUntil([&] { return manager->activeSessionIds().empty(); }));
}

// Before the answer a sender may leave only a little with the receiver; one
// that goes past it fails, leaves nothing behind, and the next sender is served.
TEST_F(ConnectionManagerEndToEnd, ASenderThatSendsTooMuchBeforeTheAnswerFailsAndTheNextIsServed) {
  std::vector<TestFile> thousand;
  for (std::int64_t id = 1; id <= 1000; ++id) thousand.push_back({"f" + std::to_string(id) + ".txt", {0x41}, id});
  const TestFile streamed{"movie.mp4", {}, 1, "video/mp4", std::int64_t{100} << 20};
  struct Case {
    std::string name;
    std::vector<TestFile> offered;
    std::function<std::vector<Bytes>(TestSender&)> chunks;
  };
  std::vector<Case> cases = {
      {"1,000 files of one byte each", thousand,
       [&](TestSender& sender) {
         std::vector<Bytes> chunks;
         for (const auto& file : thousand) chunks.push_back(sender.fileChunk(file.payloadId, 0, file.contents, true));
         return chunks;
       }},
      {"one file streamed", {streamed},
       [&](TestSender& sender) {
         std::vector<Bytes> chunks;
         for (std::int64_t offset = 0; offset < std::int64_t{4} << 20; offset += TestSender::kChunkSize) {
           chunks.push_back(sender.fileChunk(1, offset, patterned(TestSender::kChunkSize, 4), false));
         }
         return chunks;
       }},
  };
  const TestFile honest{"photo.jpg", patterned(700'000, 5), 7};
  const auto descriptorsBefore = test::openDescriptorCount();
  auto nothingLeftOpen = [&] {
    return runMainLoopUntil([&] { return test::openDescriptorCount() <= descriptorsBefore; });
  };
  for (const auto& item : cases) {
    SCOPED_TRACE(item.name);
    prompt->asked.clear();
    prompt->decisions.clear();
    prompt->completed.clear();
    log.clear();
    auto hostile = std::make_unique<LoopbackSender>(port(), "Hostile");
    hostile->introduce(item.offered);
    ASSERT_TRUE(runMainLoopUntil([&] { return prompt->asked.size() == 1; }));
    hostile->sendUntilRefused(item.chunks(hostile->sender()));
    ASSERT_TRUE(runMainLoopUntil(
        [&] { return log.contains("[TransferCoordinator] Transfer failed from Hostile: transferFailed"); }));
    EXPECT_EQ(test::folderEntries(downloads.path()), std::vector<std::string>{});
    hostile.reset();
    EXPECT_TRUE(nothingLeftOpen()) << test::openDescriptorCount() << " descriptors, " << descriptorsBefore << " before";

    auto phone = std::make_unique<LoopbackSender>(port(), "Pixel 9");
    phone->introduce({honest});
    ASSERT_TRUE(runMainLoopUntil([&] { return prompt->asked.size() == 2; }));
    prompt->decisions[1](true);
    phone->receiveSharingFrame();
    phone->sendFiles({honest});
    ASSERT_TRUE(runMainLoopUntil([&] { return prompt->completed.size() == 1; }));
    EXPECT_EQ(downloaded("photo.jpg"), byteString(honest.contents));
    std::filesystem::remove(downloads.path() / "photo.jpg");
    phone.reset();
    EXPECT_TRUE(nothingLeftOpen());
  }
}

// A room of phones sending at once, each from its own address: every offer
// is put to the user, and each one accepted is saved whole.
TEST_F(ConnectionManagerEndToEnd, ARoomOfPhonesSendingAtOnceIsAllAsked) {
  constexpr std::size_t phones = 12;
  std::vector<std::unique_ptr<LoopbackSender>> senders;
  std::vector<TestFile> files;
  for (std::size_t i = 0; i < phones; ++i) {
    const auto address = "127.0.1." + std::to_string(i + 1);
    files.push_back({"photo" + std::to_string(i) + ".jpg", patterned(20'000, static_cast<std::uint8_t>(i)), 1});
    senders.push_back(std::make_unique<LoopbackSender>(port(), "Phone " + std::to_string(i), address.c_str()));
    senders.back()->introduce({files.back()});
  }
  ASSERT_TRUE(runMainLoopUntil([&] { return prompt->asked.size() == phones; }))
      << prompt->asked.size() << " asked; " << (prompt->statuses.empty() ? "" : prompt->statuses.front());
  EXPECT_TRUE(prompt->statuses.empty());
  for (auto& decide : prompt->decisions) decide(true);
  for (std::size_t i = 0; i < phones; ++i) {
    EXPECT_EQ(senders[i]->receiveSharingFrame().v1().connection_response().status(),
              sharing::nearby::ConnectionResponseFrame::ACCEPT);
    senders[i]->sendFiles({files[i]});
  }
  ASSERT_TRUE(runMainLoopUntil([&] { return prompt->completed.size() == phones; }));
  for (const auto& file : files) EXPECT_EQ(downloaded(file.name), byteString(file.contents));
}

// The receiver-wide bounds, small enough for a test.
class ConnectionManagerEndToEndBounded : public ConnectionManagerEndToEnd {
 protected:
  ConnectionManagerEndToEndBounded() {
    limits.mostBeforeQuestion = 6;
    limits.mostBeforeQuestionPerAddress = 4;
    limits.mostWaitingQuestions = 3;
    limits.mostWaitingQuestionsPerAddress = 2;
    limits.mostHeldBytes = 1 << 20;
    limits.mostBytesStoredBeforeAnswer = 1 << 20;
    limits.mostFilesStoredBeforeAnswer = 3;
    limits.lingerAfterEnd = 1s;
    limits.firstBytesGrace = 0s;  // idle connections make room at once, unless a test says otherwise
  }

  // A phone at 127.0.0.1, the first to be asked, is accepted and its file saved whole.
  void expectAPhoneIsServed() {
    const std::vector<TestFile> files{{"photo.jpg", patterned(300'000, 7), 5}};
    LoopbackSender phone(port(), "Pixel 9");
    phone.introduce(files);
    expectAcceptedAndSaved(phone, files);
  }

  // The offer of the only phone asked is accepted, and its file saved whole.
  void expectAcceptedAndSaved(LoopbackSender& phone, const std::vector<TestFile>& files) {
    ASSERT_TRUE(runMainLoopUntil([&] { return prompt->asked.size() == 1; }));
    prompt->decisions.front()(true);
    phone.receiveSharingFrame();
    phone.sendFiles(files);
    ASSERT_TRUE(runMainLoopUntil([&] { return prompt->completed.size() == 1; }));
    EXPECT_EQ(downloaded(files[0].name), byteString(files[0].contents));
  }
};

// Devices that hold idle connections keep to their address's share, and past
// the total the address holding the most gives way, its oldest first: a phone
// at another address is still served.
TEST_F(ConnectionManagerEndToEndBounded, IdleConnectionsFromOtherAddressesKeepNoSenderOut) {
  std::vector<std::unique_ptr<LoopbackSender>> first;
  std::vector<std::unique_ptr<LoopbackSender>> second;
  for (int i = 0; i < 5; ++i) first.push_back(std::make_unique<LoopbackSender>(port(), "Idle", "127.0.0.2"));
  EXPECT_TRUE(first[4]->receiverEnded()) << "past its address's bound";
  for (int i = 0; i < 4; ++i) second.push_back(std::make_unique<LoopbackSender>(port(), "Idle", "127.0.0.3"));
  EXPECT_TRUE(first[0]->receiverEnded());
  EXPECT_TRUE(first[1]->receiverEnded());

  expectAPhoneIsServed();
  EXPECT_TRUE(second[0]->receiverEnded()) << "the phone's room came from the address holding the most";
  for (auto* kept : {&first[2], &first[3], &second[1], &second[2], &second[3]}) EXPECT_TRUE((*kept)->receiverKeepsOpen());
}

// Past the bound on connections before the question, idle connections from
// ever new addresses make room among themselves: a phone past the key
// exchange stays, however many come and from however many addresses.
TEST_F(ConnectionManagerEndToEndBounded, IdleConnectionsFromManyAddressesDoNotPushOutAPhonePastTheKeyExchange) {
  const std::vector<TestFile> files{{"photo.jpg", patterned(30'000, 7), 5}};
  LoopbackSender phone(port(), "Pixel 9");
  phone.openChannel();
  std::vector<std::unique_ptr<test::LoopbackClient>> idle;
  for (int i = 1; i <= 12; ++i) {
    auto address = asio::ip::make_address("127.0.1." + std::to_string(i));
    idle.push_back(std::make_unique<test::LoopbackClient>(port(), test::LoopbackClient::From{address}));
  }
  ASSERT_TRUE(runMainLoopUntil([&] {  // 13 connections, 6 may wait for the question
    return log.linesStartingWith("[ConnectionManager] Dropped connection").size() == 7;
  }));

  phone.offer(files);
  expectAcceptedAndSaved(phone, files);
}

// New connections keep their places until their first bytes could have come.
class ConnectionManagerEndToEndNewcomers : public ConnectionManagerEndToEndBounded {
 protected:
  ConnectionManagerEndToEndNewcomers() { limits.firstBytesGrace = 1h; }  // never over within a test
};

// Every place is taken by holders silent past the key exchange and by a
// phone that has not sent its first bytes yet: a newcomer makes room from the
// holder silent longest, never from the phone.
TEST_F(ConnectionManagerEndToEndNewcomers, ANewcomerDoesNotPushOutAPhoneBeforeItsFirstBytes) {
  const std::vector<TestFile> files{{"photo.jpg", patterned(30'000, 7), 5}};
  std::vector<std::unique_ptr<LoopbackSender>> holders;
  for (int i = 1; i <= 5; ++i) {
    const auto address = "127.0.1." + std::to_string(i);
    holders.push_back(std::make_unique<LoopbackSender>(port(), "Holder", address.c_str()));
    holders.back()->openChannel();
  }
  LoopbackSender phone(port(), "Pixel 9");
  ASSERT_TRUE(runMainLoopUntil([&] { return manager->activeSessionIds().size() == 6; }));
  LoopbackSender newcomer(port(), "Newcomer", "127.0.2.1");
  EXPECT_TRUE(holders[0]->receiverEnded());

  phone.introduce(files);
  expectAcceptedAndSaved(phone, files);
  EXPECT_TRUE(newcomer.receiverKeepsOpen());
}

// While every place is held by a connection that has sent nothing yet, the
// newcomer is the one closed: a crowd of new connections turns itself away.
TEST_F(ConnectionManagerEndToEndNewcomers, WhileEveryPlaceIsNewTheNewcomerIsRefused) {
  std::vector<std::unique_ptr<LoopbackSender>> first;
  for (int i = 1; i <= 6; ++i) {
    const auto address = "127.0.1." + std::to_string(i);
    first.push_back(std::make_unique<LoopbackSender>(port(), "First", address.c_str()));
  }
  ASSERT_TRUE(runMainLoopUntil([&] { return manager->activeSessionIds().size() == 6; }));
  LoopbackSender late(port(), "Late", "127.0.2.1");
  EXPECT_TRUE(late.receiverEnded());
  EXPECT_EQ(log.linesStartingWith("[ConnectionManager] Refused a connection").size(), 1u);
  EXPECT_TRUE(log.linesStartingWith("[ConnectionManager] Dropped connection").empty());
  for (auto& kept : first) EXPECT_TRUE(kept->receiverKeepsOpen());
}

// Declined at once, a sender that reads nothing, so that the REJECT cannot
// leave, keeps nothing: its connection ends within the linger whatever the
// sender does, and what it held in memory is free for the next.
TEST_F(ConnectionManagerEndToEndBounded, ADeclinedSenderThatReadsNothingEndsWithinTheLinger) {
  const std::vector<TestFile> files{{"note.txt", patterned(100, 9), 3}};
  std::vector<std::unique_ptr<LoopbackSender>> waiting;
  for (int i = 0; i < 2; ++i) {
    waiting.push_back(std::make_unique<LoopbackSender>(port(), "Waiting", "127.0.0.2"));
    waiting.back()->introduce(files);
  }
  ASSERT_TRUE(runMainLoopUntil([&] { return prompt->asked.size() == 2; }));

  const auto unfinishedBytes = [](LoopbackSender& sender) {  // 700 KiB of 1 MiB, charged to the shared budget
    namespace connections = location::nearby::connections;
    auto frame = TestSender::frameOfType(connections::V1Frame::PAYLOAD_TRANSFER);
    auto* transfer = frame.mutable_v1()->mutable_payload_transfer();
    transfer->set_packet_type(connections::PayloadTransferFrame::DATA);
    transfer->mutable_payload_header()->set_id(9000);
    transfer->mutable_payload_header()->set_type(connections::PayloadHeader::BYTES);
    transfer->mutable_payload_header()->set_total_size(1 << 20);
    transfer->mutable_payload_chunk()->set_offset(0);
    transfer->mutable_payload_chunk()->set_flags(0);
    transfer->mutable_payload_chunk()->mutable_body()->assign(700 * 1024, 'x');
    return sender.sender().encrypt(frame);
  };
  LoopbackSender stalled(port(), "Stalled", test::LoopbackClient::NotReading{asio::ip::make_address("127.0.0.2")});
  ASSERT_TRUE(test::shrinkSendBufferOfAcceptedEnd(stalled.socket()));
  stalled.openChannel();
  stalled.send(unfinishedBytes(stalled));
  ASSERT_TRUE(stalled.sendKeepAlives(150));  // more answers than the two small socket buffers hold
  stalled.offer(files);
  ASSERT_TRUE(runMainLoopUntil([&] { return prompt->statuses.size() == 1; })) << "declined at once";
  EXPECT_TRUE(runMainLoopUntil([&] { return manager->activeSessionIds().size() == 2; }))
      << "the declined connection has not ended";
  EXPECT_TRUE(stalled.receiverEnded());

  LoopbackSender next(port(), "Hostile", "127.0.0.3");
  next.openChannel();
  next.send(unfinishedBytes(next));
  next.send(TestSender::keepAlive());
  EXPECT_NO_THROW(next.receive()) << "the answer to its KEEP_ALIVE: it was not cut off";
}

// The user's answer frees its place among the waiting questions at once,
// also when the declined connection takes a while to end.
TEST_F(ConnectionManagerEndToEndBounded, ADeclineFreesItsWaitingPlaceBeforeTheConnectionEnds) {
  const std::vector<TestFile> files{{"note.txt", patterned(100, 9), 3}};
  LoopbackSender stalled(port(), "Stalled", test::LoopbackClient::NotReading{asio::ip::make_address("127.0.0.2")});
  ASSERT_TRUE(test::shrinkSendBufferOfAcceptedEnd(stalled.socket()));
  stalled.introduce(files);
  ASSERT_TRUE(runMainLoopUntil([&] { return prompt->asked.size() == 1; }));
  ASSERT_TRUE(stalled.sendKeepAlives(150));  // the REJECT will wait behind their answers
  LoopbackSender second(port(), "Second", "127.0.0.2");
  second.introduce(files);
  ASSERT_TRUE(runMainLoopUntil([&] { return prompt->asked.size() == 2; }));

  prompt->decisions.front()(false);
  LoopbackSender third(port(), "Third", "127.0.0.2");
  third.introduce(files);
  ASSERT_TRUE(runMainLoopUntil([&] { return prompt->asked.size() == 3 || !prompt->statuses.empty(); }));
  EXPECT_EQ(prompt->asked.size(), 3u);
  EXPECT_TRUE(prompt->statuses.empty()) << prompt->statuses.front();
}

// A phone past the key exchange that the receiver closes before asking the
// user, pushed out to make room or cut off by what unaccepted connections
// share, is told of in one line with its name and why, once.
TEST_F(ConnectionManagerEndToEndBounded, APhoneClosedBeforeItsQuestionIsToldOfOnceWithItsNameAndWhy) {
  {
    std::vector<std::unique_ptr<LoopbackSender>> phones;
    for (int i = 1; i <= 6; ++i) {
      auto address = "127.0.2." + std::to_string(i);
      phones.push_back(std::make_unique<LoopbackSender>(port(), "Phone " + std::to_string(i), address.c_str()));
      phones.back()->openChannel();
    }
    test::LoopbackClient newcomer(port(), test::LoopbackClient::From{asio::ip::make_address("127.0.2.7")});
    EXPECT_TRUE(phones.front()->receiverEnded());
  }
  ASSERT_TRUE(runMainLoopUntil([&] { return manager->activeSessionIds().empty(); }));
  {
    LoopbackSender first(port(), "Hostile 1", "127.0.2.8");
    LoopbackSender second(port(), "Hostile 2", "127.0.2.9");
    for (auto* hostile : {&first, &second}) {
      hostile->openChannel();
      hostile->sendUntilRefused({hostile->sender().bytesPayload(patterned(700 * 1024, 1)).front()});
    }
    EXPECT_TRUE(second.receiverEnded());
  }
  ASSERT_TRUE(test::stopListeningAndWait(*manager));
  ASSERT_TRUE(drainMainLoop());
  EXPECT_EQ(prompt->statuses,
            (std::vector<std::string>{
                "Closed the connection from Phone 1 before its question: to make room for a new connection.",
                "Closed the connection from Hostile 2 before its question: connections not yet accepted hold too "
                "much."}));
  EXPECT_EQ(log.linesStartingWith("[ConnectionManager] Dropped connection").size(), 1u);
}

class ConnectionManagerEndToEndQuickTimeout : public ConnectionManagerEndToEnd {
 protected:
  ConnectionManagerEndToEndQuickTimeout() { limits.timeToQuestion = 100ms; }
};

TEST_F(ConnectionManagerEndToEndQuickTimeout, AConnectionThatDoesNotReachTheQuestionInTimeIsDropped) {
  struct Case {
    const char* name;
    std::function<std::vector<Bytes>(TestSender&)> sent;
  };
  const std::vector<Case> cases = {
      {"sends nothing", [](TestSender&) { return std::vector<Bytes>{}; }},
      {"stops after its request", [](TestSender& sender) { return std::vector<Bytes>{sender.connectionRequest()}; }},
  };
  for (const auto& item : cases) {
    SCOPED_TRACE(item.name);
    LoopbackSender idle(port(), "Idle");
    idle.send(item.sent(idle.sender()));
    EXPECT_TRUE(idle.receiverEnded());
    EXPECT_TRUE(runMainLoopUntil([&] { return manager->activeSessionIds().empty(); }));
  }
  EXPECT_EQ(log.linesStartingWith("[ConnectionManager] Dropped connection").size(), cases.size());
  EXPECT_TRUE(prompt->statuses.empty());
}

// Before the question a connection must keep sending, not be done within a
// time: an offer that arrives slowly but steadily is asked, one that trickles
// is closed.
class ConnectionManagerEndToEndPace : public ConnectionManagerEndToEnd {
 protected:
  ConnectionManagerEndToEndPace() {
    limits.timeToQuestion = 400ms;
    limits.paceWindow = 400ms;
    limits.leastPaceBeforeQuestion = 1024;  // 410 bytes a window
  }

  // Writes `bytes` in pieces of `piece` bytes, `pause` apart; false once the receiver closed.
  static bool sendPaced(LoopbackSender& sender, ByteView bytes, std::size_t piece, std::chrono::milliseconds pause) {
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
      std::error_code error;
      asio::write(sender.socket(), asio::buffer(bytes.data() + at, std::min(piece, bytes.size() - at)), error);
      if (error) return false;
      pollfd ended{sender.socket().native_handle(), POLLRDHUP, 0};
      if (::poll(&ended, 1, static_cast<int>(pause.count())) == 1) return false;
    }
    return true;
  }
};

TEST_F(ConnectionManagerEndToEndPace, AnOfferArrivingSteadilyIsAskedHoweverLongItTakes) {
  std::vector<TestFile> files;
  for (int id = 1; id <= 300; ++id) {
    files.push_back({std::string(100, 'a') + std::to_string(id) + ".jpg", Bytes(1, 1), id, "image/jpeg"});
  }
  LoopbackSender phone(port(), "Pixel 9");
  phone.openChannel();
  Bytes offer;
  for (const auto& body : phone.sender().introduction(files)) {
    auto frame = test::framed(body);
    offer.insert(offer.end(), frame.begin(), frame.end());
  }
  ASSERT_GT(offer.size(), 30'000u);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(sendPaced(phone, offer, 1'000, 20ms)) << "closed while its offer arrived";  // some 50 KB/s
  ASSERT_GT(std::chrono::steady_clock::now() - start, 2 * limits.timeToQuestion);
  ASSERT_TRUE(runMainLoopUntil([&] { return prompt->asked.size() == 1; }));
  EXPECT_TRUE(log.linesStartingWith("[ConnectionManager] Dropped connection").empty());
}

TEST_F(ConnectionManagerEndToEndPace, AConnectionThatTricklesIsClosed) {
  LoopbackSender trickle(port(), "Trickle");
  trickle.openChannel();
  const auto offer = test::framed(trickle.sender().introduction({{"a.txt", Bytes(1, 1), 1}}).front());
  EXPECT_FALSE(sendPaced(trickle, offer, 1, 50ms)) << "some 20 bytes a second";
  EXPECT_TRUE(trickle.receiverEnded());
  auto dropped = log.linesStartingWith("[ConnectionManager] Dropped connection");
  ASSERT_EQ(dropped.size(), 1u);
  EXPECT_NE(dropped.front().find("bytes a second before the question"), std::string::npos) << dropped.front();
}

// An album whose offer is past the 2 MiB an offer may take is not asked about,
// and the user is told so, once.
TEST_F(ConnectionManagerEndToEnd, AnOfferPastItsSizeBoundIsToldOfOnce) {
  std::vector<TestFile> files;
  for (int i = 0; i < 25'000; ++i) {
    files.push_back({"IMG_20260101_" + std::to_string(100'000 + i) + std::string(60, 'x') + ".jpg", {}, i + 1});
  }
  LoopbackSender phone(port(), "Pixel 9");
  phone.openChannel();
  phone.sendUntilRefused(phone.sender().introduction(files));
  EXPECT_TRUE(phone.receiverEnded());
  ASSERT_TRUE(test::stopListeningAndWait(*manager));
  ASSERT_TRUE(drainMainLoop());
  EXPECT_EQ(prompt->statuses, std::vector<std::string>{"Closed the connection from Pixel 9 before its question: its "
                                                       "offer is larger than 2 MiB (about 20,000 files)."});
  EXPECT_TRUE(prompt->asked.empty());
}

// Past the bound of questions waiting for an answer, in total or from one
// address, an offer is declined at once, the user is told why in one line, and
// what it sent before the answer is gone; an answer makes room again.
TEST_F(ConnectionManagerEndToEndBounded, AnOfferPastTheWaitingBoundIsDeclinedAtOnce) {
  const std::vector<TestFile> files{{"note.txt", patterned(40'000, 9), 3}};
  std::vector<std::unique_ptr<LoopbackSender>> waiting;
  auto offer = [&](const std::string& name, const char* address) {
    auto sender = std::make_unique<LoopbackSender>(port(), name, address);
    sender->introduce(files);
    sender->sendFiles(files);
    return sender;
  };
  for (const auto& [name, address] : {std::pair{"A", "127.0.0.1"}, {"B", "127.0.0.1"}, {"C", "127.0.0.2"}}) {
    waiting.push_back(offer(name, address));
    ASSERT_TRUE(runMainLoopUntil([&] { return prompt->asked.size() == waiting.size(); }));
  }
  struct Refused {
    const char* name;
    const char* address;
    std::string status;
  };
  const std::vector<Refused> refused = {
      {"D", "127.0.0.1", "Declined the transfer from D: 2 transfers from its address are already waiting for an answer."},
      {"E", "127.0.0.3", "Declined the transfer from E: 3 transfers are already waiting for an answer."},
  };
  for (const auto& item : refused) {
    SCOPED_TRACE(item.name);
    prompt->statuses.clear();
    auto sender = offer(item.name, item.address);
    EXPECT_EQ(sender->receiveSharingFrame().v1().connection_response().status(),
              sharing::nearby::ConnectionResponseFrame::REJECT);
    EXPECT_TRUE(sender->receiverClosed());
    ASSERT_TRUE(runMainLoopUntil([&] { return prompt->statuses.size() == 1; }));
    EXPECT_EQ(prompt->statuses.front(), item.status);
    EXPECT_EQ(prompt->asked.size(), 3u);
  }
  EXPECT_LE(test::folderEntries(downloads.path()).size(), 3u) << "at most the waiting offers' files, kept aside";

  prompt->decisions.front()(false);
  EXPECT_TRUE(waiting.front()->receiverClosed());
  ASSERT_TRUE(runMainLoopUntil([&] { return manager->activeSessionIds().size() == 2; }));
  auto after = offer("F", "127.0.0.3");
  EXPECT_TRUE(runMainLoopUntil([&] { return prompt->asked.size() == 4; }));
}

// What connections not yet accepted hold in memory is bounded for all of them
// together: past it, the one that would add to it is cut off, and a phone with
// an ordinary offer is still served.
TEST_F(ConnectionManagerEndToEndBounded, ConnectionsNotYetAcceptedShareOneBoundOnWhatTheyHold) {
  LoopbackSender first(port(), "Hostile", "127.0.0.2");
  LoopbackSender second(port(), "Hostile", "127.0.0.3");
  for (auto* hostile : {&first, &second}) {
    hostile->openChannel();
    hostile->sendUntilRefused({hostile->sender().bytesPayload(patterned(700 * 1024, 1)).front()});  // never finished
  }
  EXPECT_TRUE(second.receiverEnded());
  EXPECT_TRUE(runMainLoopUntil([&] { return manager->activeSessionIds().size() == 1; })) << "the first keeps its share";

  expectAPhoneIsServed();
}

// An offer's file list stays until the answer, however long that takes, and
// counts as the frames do, also while it is read beside its frame: two offers
// of 8,000 files, about 450 KB of list each, pass the 1 MiB bound together,
// so the second is cut off before it is asked. An answer lets the list go.
TEST_F(ConnectionManagerEndToEndBounded, FileListsOfOffersNotYetAnsweredShareTheBoundOnWhatTheyHold) {
  std::vector<TestFile> files;
  for (int i = 0; i < 8'000; ++i) files.push_back({"file-" + std::to_string(100'000 + i) + ".bin", {}, i + 1});
  LoopbackSender first(port(), "First", "127.0.0.2");
  first.introduce(files);
  ASSERT_TRUE(runMainLoopUntil([&] { return prompt->asked.size() == 1; }));

  LoopbackSender second(port(), "Second", "127.0.0.3");
  second.openChannel();
  second.sendUntilRefused(second.sender().introduction(files));
  EXPECT_TRUE(second.receiverEnded());

  prompt->decisions.front()(false);
  LoopbackSender third(port(), "Third", "127.0.0.4");
  third.introduce(files);
  EXPECT_TRUE(runMainLoopUntil([&] { return prompt->asked.size() == 2; }));
  EXPECT_EQ(prompt->asked.back().senderName, "Third");
}

// What offers not yet answered store is bounded for all of them together: an
// early chunk past it is refused, though each sender keeps to its own bound,
// and that sender fails and leaves nothing. What an offer stored stops
// counting once it is answered, either way.
TEST_F(ConnectionManagerEndToEndBounded, OffersNotYetAnsweredShareOneBoundOnWhatTheyStore) {
  struct Case {
    const char* name;
    std::vector<TestFile> files;
    bool firstAccepted;
  };
  const std::vector<Case> cases = {
      {"files", {{"a.txt", patterned(1'000, 1), 1}, {"b.txt", patterned(1'000, 2), 2}}, true},
      {"bytes", {{"c.bin", patterned(600'000, 3), 1}}, false},
  };
  std::size_t asked = 0;
  for (const auto& item : cases) {
    SCOPED_TRACE(item.name);
    log.clear();
    auto offerAndSend = [&](const char* name, const char* address) {
      auto sender = std::make_unique<LoopbackSender>(port(), name, address);
      sender->introduce(item.files);
      EXPECT_TRUE(runMainLoopUntil([&] { return prompt->asked.size() == asked + 1; }));
      ++asked;
      std::vector<Bytes> chunks;
      for (const auto& file : item.files) {
        for (auto& chunk : sender->sender().fileChunks(file)) chunks.push_back(std::move(chunk));
      }
      sender->sendUntilRefused(chunks);
      return sender;
    };
    auto first = offerAndSend("First", "127.0.0.2");
    auto second = offerAndSend("Second", "127.0.0.3");
    EXPECT_TRUE(second->receiverEnded());
    ASSERT_TRUE(runMainLoopUntil(
        [&] { return log.contains("[TransferCoordinator] Transfer failed from Second: transferFailed"); }));
    EXPECT_EQ(test::folderEntries(downloads.path()).size(), item.files.size()) << "the first one's, kept aside";

    prompt->decisions[asked - 2](item.firstAccepted);
    if (item.firstAccepted) {
      first->receiveSharingFrame();
      ASSERT_TRUE(runMainLoopUntil([&] { return prompt->completed.size() == 1; }));
    }
    if (!item.firstAccepted) {
      EXPECT_TRUE(first->receiverEnded());
    }
    auto third = offerAndSend("Third", "127.0.0.4");
    prompt->decisions.back()(true);
    third->receiveSharingFrame();
    ASSERT_TRUE(runMainLoopUntil([&] { return prompt->completed.size() == (item.firstAccepted ? 2u : 1u); }));
    for (const auto& entry : std::filesystem::directory_iterator(downloads.path())) std::filesystem::remove(entry);
    prompt->completed.clear();
  }
}

}  // namespace
}  // namespace orvel
