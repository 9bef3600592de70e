#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <asio/connect.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "platform/MainLoop.h"
#include "services/ConnectionManager.h"
#include "support/MemoryConnection.h"
#include "support/TestSender.h"
#include "support/TestSupport.h"

namespace orvel {
namespace {

using namespace std::chrono_literals;
using test::TestFile;
using test::TestSender;

// A sender's socket on loopback, with blocking reads that give up after a while.
class LoopbackPeer {
 public:
  explicit LoopbackPeer(std::uint16_t port) {
    socket_.connect({asio::ip::make_address("127.0.0.1"), port});
    timeval timeout{10, 0};
    setsockopt(socket_.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  }

  void send(ByteView body) { asio::write(socket_, asio::buffer(test::framed(body))); }
  void send(const std::vector<Bytes>& bodies) {
    for (const auto& body : bodies) send(body);
  }

  // The next frame body; nothing when the receiver closed the connection.
  std::optional<Bytes> receive() {
    std::uint8_t prefix[4];
    std::error_code error;
    asio::read(socket_, asio::buffer(prefix), error);
    if (error) return std::nullopt;
    Bytes body(fromBigEndian32(prefix));
    asio::read(socket_, asio::buffer(body), error);
    if (error) return std::nullopt;
    return body;
  }

  Bytes expect() {
    auto body = receive();
    if (!body) throw std::runtime_error("the receiver closed the connection early");
    return *body;
  }

 private:
  asio::io_context context_;
  asio::ip::tcp::socket socket_{context_};
};

// What one sender thread saw.
struct SenderOutcome {
  std::string pin;
  std::optional<sharing::nearby::ConnectionResponseFrame::Status> answer;
  bool receivedCompletionNotice = false;
  bool closedAfterAnswer = false;
  std::string error;
};

// The whole conversation of a sending phone, from connecting to the end.
SenderOutcome runSender(std::uint16_t port, const std::string& name, const std::vector<TestFile>& files) {
  SenderOutcome outcome;
  try {
    TestSender sender(name);
    LoopbackPeer peer(port);
    peer.send(sender.connectionRequest());
    peer.send(sender.clientInit());
    peer.send(sender.clientFinish(peer.expect()));
    outcome.pin = sender.pin();
    peer.send(sender.connectionResponse());
    TestSender::openPlaintext(peer.expect());
    for (int i = 0; i < 2; ++i) sender.openEncrypted(peer.expect());  // its PAIRED_KEY_ENCRYPTION
    peer.send(sender.pairedKeyEncryption());
    peer.send(sender.pairedKeyResult());
    for (int i = 0; i < 2; ++i) sender.openEncrypted(peer.expect());  // its PAIRED_KEY_RESULT
    peer.send(sender.introduction(files));
    auto response = sender.openEncrypted(peer.expect());
    sender.openEncrypted(peer.expect());
    if (!response.sharing) throw std::runtime_error("no Sharing RESPONSE");
    outcome.answer = response.sharing->v1().connection_response().status();
    if (*outcome.answer == sharing::nearby::ConnectionResponseFrame::ACCEPT) {
      for (const auto& file : files) peer.send(sender.fileChunks(file));
      auto notice = TestSender::openPlaintext(peer.expect());
      outcome.receivedCompletionNotice =
          notice.frame.v1().type() == location::nearby::connections::V1Frame::DISCONNECTION &&
          notice.frame.v1().disconnection().ack_safe_to_disconnect();
    } else {
      outcome.closedAfterAnswer = !peer.receive().has_value();
    }
  } catch (const std::exception& error) {
    outcome.error = error.what();
  }
  return outcome;
}

class RecordingShell final : public ConnectionManagerDelegate {
 public:
  void connectionManagerDidReceiveTransferRequest(ConnectionManager&, const TransferRequest& request) override {
    requests.push_back(request);
    if (onRequest) onRequest(request);
  }
  void connectionManagerDidCompleteTransfer(ConnectionManager&, const TransferSession& session) override {
    completions.push_back(session);
  }
  void connectionManagerDidFailTransfer(ConnectionManager&, const TransferSession& session,
                                        const EngineError& error) override {
    failures.emplace_back(session, describe(error));
  }

  std::function<void(const TransferRequest&)> onRequest;
  std::vector<TransferRequest> requests;
  std::vector<TransferSession> completions;
  std::vector<std::pair<TransferSession, std::string>> failures;
};

class InboundConnectionEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_.writeDownloadPath(downloads_.path());
    manager_ = ConnectionManager::create(0);
    manager_->setDelegate(shell_);
    manager_->setOnReady([this](std::uint16_t port) { port_ = port; });
    manager_->startListening();
    ASSERT_TRUE(MainLoop::shared().runUntil([this] { return port_ != 0; }, 10s));
  }
  void TearDown() override { manager_->stopListening(); }

  std::vector<std::string> downloadEntries() const { return test::folderEntries(downloads_.path()); }

  test::ScopedHome home_;
  test::TemporaryDirectory downloads_;
  std::shared_ptr<RecordingShell> shell_ = std::make_shared<RecordingShell>();
  std::shared_ptr<ConnectionManager> manager_;
  std::uint16_t port_ = 0;
};

Bytes patterned(std::size_t length, std::uint8_t seed) {
  Bytes bytes(length);
  for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(seed * 31 + i * 13 + i / 509);
  return bytes;
}

TEST_F(InboundConnectionEndToEndTest, ReceivesFilesByteForByte) {
  std::vector<TestFile> files = {{"video.mp4", patterned(2'500'000, 1), 11, "video/mp4"},
                                 {"small.txt", patterned(700, 2), 12, "text/plain"}};
  shell_->onRequest = [this](const TransferRequest& request) { manager_->acceptTransfer(request.sessionId); };
  SenderOutcome outcome;
  std::atomic<bool> done = false;
  std::thread client([&] {
    outcome = runSender(port_, "Pixel 9", files);
    done = true;
  });
  bool finished = MainLoop::shared().runUntil([&] { return done && !shell_->completions.empty(); }, 60s);
  client.join();
  ASSERT_TRUE(finished) << outcome.error;
  EXPECT_EQ(outcome.error, "");
  EXPECT_TRUE(outcome.receivedCompletionNotice);
  ASSERT_EQ(shell_->requests.size(), 1u);
  EXPECT_EQ(shell_->requests[0].pin, outcome.pin) << "both sides show the same PIN";
  EXPECT_EQ(shell_->requests[0].senderName, "Pixel 9");
  ASSERT_EQ(shell_->completions.size(), 1u);
  EXPECT_EQ(shell_->completions[0].state, TransferState::completed);
  EXPECT_TRUE(shell_->failures.empty());
  for (const auto& file : files) {
    EXPECT_EQ(test::readFile(downloads_.path() / file.name), std::string(file.contents.begin(), file.contents.end()));
  }
  EXPECT_EQ(downloadEntries(), (std::vector<std::string>{"small.txt", "video.mp4"}));
}

TEST_F(InboundConnectionEndToEndTest, TwoSendersAtOnceOneAcceptedOneDeclined) {
  TestFile wanted{"wanted.bin", patterned(1'200'000, 3), 21};
  TestFile unwanted{"unwanted.bin", patterned(900, 4), 22};
  shell_->onRequest = [this](const TransferRequest& request) {
    if (request.senderName == "Accepted") {
      manager_->acceptTransfer(request.sessionId);
    } else {
      manager_->declineTransfer(request.sessionId);
    }
  };
  SenderOutcome accepted, declined;
  std::atomic<int> done = 0;
  std::thread first([&] {
    accepted = runSender(port_, "Accepted", {wanted});
    ++done;
  });
  std::thread second([&] {
    declined = runSender(port_, "Declined", {unwanted});
    ++done;
  });
  bool finished = MainLoop::shared().runUntil([&] { return done == 2 && !shell_->completions.empty(); }, 60s);
  first.join();
  second.join();
  ASSERT_TRUE(finished) << accepted.error << " / " << declined.error;
  EXPECT_EQ(accepted.error, "");
  EXPECT_EQ(declined.error, "");
  EXPECT_EQ(accepted.answer, sharing::nearby::ConnectionResponseFrame::ACCEPT);
  EXPECT_TRUE(accepted.receivedCompletionNotice);
  EXPECT_EQ(declined.answer, sharing::nearby::ConnectionResponseFrame::REJECT);
  EXPECT_TRUE(declined.closedAfterAnswer);
  ASSERT_EQ(shell_->requests.size(), 2u);
  EXPECT_NE(shell_->requests[0].sessionId, shell_->requests[1].sessionId);
  for (const auto& request : shell_->requests) {
    EXPECT_EQ(request.pin, request.senderName == "Accepted" ? accepted.pin : declined.pin);
  }
  ASSERT_EQ(shell_->completions.size(), 1u);
  EXPECT_EQ(shell_->completions[0].senderName, "Accepted");
  EXPECT_TRUE(shell_->failures.empty());
  EXPECT_EQ(test::readFile(downloads_.path() / "wanted.bin"),
            std::string(wanted.contents.begin(), wanted.contents.end()));
  EXPECT_EQ(downloadEntries(), std::vector<std::string>{"wanted.bin"});
}

}  // namespace
}  // namespace orvel
