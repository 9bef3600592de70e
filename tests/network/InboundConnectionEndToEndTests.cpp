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
#include <future>
#include <thread>

#include "platform/Log.h"
#include "platform/MainLoop.h"
#include "services/ConnectionManager.h"
#include "services/FakeNotificationHandler.h"
#include "services/TerminalNotificationHandler.h"
#include "services/TransferCoordinator.h"
#include "support/MemoryConnection.h"
#include "support/StopListening.h"
#include "support/TerminalHarness.h"
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

// A sending phone's conversation from connecting up to its INTRODUCTION.
void introduce(TestSender& sender, LoopbackPeer& peer, const std::vector<TestFile>& files) {
  peer.send(sender.connectionRequest());
  peer.send(sender.clientInit());
  peer.send(sender.clientFinish(peer.expect()));
  peer.send(sender.connectionResponse());
  TestSender::openPlaintext(peer.expect());
  for (int i = 0; i < 2; ++i) sender.openEncrypted(peer.expect());  // its PAIRED_KEY_ENCRYPTION
  peer.send(sender.pairedKeyEncryption());
  peer.send(sender.pairedKeyResult());
  for (int i = 0; i < 2; ++i) sender.openEncrypted(peer.expect());  // its PAIRED_KEY_RESULT
  peer.send(sender.introduction(files));
}

// The receiver's answer to the INTRODUCTION.
sharing::nearby::ConnectionResponseFrame::Status expectAnswer(TestSender& sender, LoopbackPeer& peer) {
  auto response = sender.openEncrypted(peer.expect());
  sender.openEncrypted(peer.expect());
  if (!response.sharing) throw std::runtime_error("no Sharing RESPONSE");
  return response.sharing->v1().connection_response().status();
}

// Sends the files and reads the receiver's notice that all arrived.
bool sendFilesUntilNotice(TestSender& sender, LoopbackPeer& peer, const std::vector<TestFile>& files) {
  for (const auto& file : files) peer.send(sender.fileChunks(file));
  auto notice = TestSender::openPlaintext(peer.expect());
  return notice.frame.v1().type() == location::nearby::connections::V1Frame::DISCONNECTION &&
         notice.frame.v1().disconnection().ack_safe_to_disconnect();
}

// The whole conversation of a sending phone, from connecting to the end.
SenderOutcome runSender(std::uint16_t port, const std::string& name, const std::vector<TestFile>& files) {
  SenderOutcome outcome;
  try {
    TestSender sender(name);
    LoopbackPeer peer(port);
    introduce(sender, peer, files);
    outcome.pin = sender.pin();
    outcome.answer = expectAnswer(sender, peer);
    if (*outcome.answer == sharing::nearby::ConnectionResponseFrame::ACCEPT) {
      outcome.receivedCompletionNotice = sendFilesUntilNotice(sender, peer, files);
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
  void TearDown() override { EXPECT_TRUE(test::stopListeningAndWait(*manager_)); }

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
  shell_->onRequest = [this](const TransferRequest& request) { manager_->acceptTransfer(request); };
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
      manager_->acceptTransfer(request);
    } else {
      manager_->declineTransfer(request);
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

// An offer of a great many files, waiting for its answer, costs a few times
// its frame, also while it is read. No log capture here: it would keep a line
// for every file.
TEST_F(InboundConnectionEndToEndTest, ALargeUnansweredOfferCostsAFewTimesItsFrame) {
  Analytics analytics;
  auto prompt = std::make_shared<test::FakeNotificationHandler>();
  auto coordinator = TransferCoordinator::create(prompt, analytics);
  manager_->setDelegate(coordinator);
  constexpr int files = 150'000;
  std::size_t frameBytes = 0;
  std::vector<Bytes> offer;  // kept until the end: it is the sender's, not the receiver's
  std::promise<void> built;
  std::promise<void> go;
  std::promise<void> measured;
  std::jthread client([&, goSignal = go.get_future(), measuredSignal = measured.get_future()] {
    try {
      TestSender sender("Pixel 9");
      LoopbackPeer peer(port_);
      introduce(sender, peer, {});
      sharing::nearby::Frame frame;
      frame.set_version(sharing::nearby::Frame::V1);
      frame.mutable_v1()->set_type(sharing::nearby::V1Frame::INTRODUCTION);
      for (int id = 1; id <= files; ++id) frame.mutable_v1()->mutable_introduction()->add_file_metadata()->set_payload_id(id);
      frameBytes = frame.ByteSizeLong();
      offer = sender.sharingFrame(frame);
      frame = {};
      built.set_value();
      goSignal.wait_for(60s);
      peer.send(offer);
      measuredSignal.wait_for(60s);
    } catch (const std::exception&) {
    }
  });
  ASSERT_TRUE(MainLoop::shared().runUntil([&] { return prompt->asked.size() == 1; }, 60s));
  ASSERT_EQ(built.get_future().wait_for(60s), std::future_status::ready);
  const auto before = static_cast<std::int64_t>(test::heapInUse());
  const test::ResidentPeak peak;
  go.set_value();
  ASSERT_TRUE(MainLoop::shared().runUntil([&] { return prompt->asked.size() == 2; }, 60s));
  const auto growth = static_cast<std::int64_t>(test::heapInUse()) - before;
  const auto peakGrowth = peak.growth();
  measured.set_value();
  EXPECT_EQ(prompt->asked[1].files.size(), static_cast<std::size_t>(files));
  EXPECT_LT(growth, static_cast<std::int64_t>(6 * frameBytes)) << frameBytes << " bytes of frame";
  // The list takes 24 bytes for each entry of about six; with the copies of the
  // frame on its way in (this process sends it too) the peak is about ten
  // times the frame. Parsed into messages first, the offer took twenty-five.
  if (peakGrowth) {
    EXPECT_LT(*peakGrowth, static_cast<std::int64_t>(14 * frameBytes)) << frameBytes << " bytes of frame";
  }
}

// The real shell between the manager and the user: the coordinator and a prompt.
class TransferQuestionEndToEndTest : public InboundConnectionEndToEndTest {
 protected:
  // The manager holds its delegate weakly: the shell lives as long as the caller keeps it.
  std::shared_ptr<TransferCoordinator> useShell(std::shared_ptr<NotificationHandler> prompt) {
    auto coordinator = TransferCoordinator::create(std::move(prompt), analytics_);
    manager_->setDelegate(coordinator);
    return coordinator;
  }
  bool runMainLoopUntil(const std::function<bool()>& done) { return MainLoop::shared().runUntil(done, 60s); }

  LogCapture log_;
  Analytics analytics_;
};

TEST_F(TransferQuestionEndToEndTest, ASwappedOfferIsAskedAgainAndOnlyWhatTheUserAcceptedLands) {
  auto prompt = std::make_shared<test::FakeNotificationHandler>();
  auto shell = useShell(prompt);
  TestFile harmless{"harmless.txt", patterned(300, 5), 31};
  TestFile swapped{"other.bin", patterned(600'000, 6), 32};
  std::string error;
  std::atomic<bool> done = false;
  bool completionNotice = false;
  std::jthread client([&] {  // joined also when an assertion ends the test early
    try {
      TestSender sender("Pixel 9");
      LoopbackPeer peer(port_);
      introduce(sender, peer, {harmless});
      peer.send(sender.fileChunks(harmless));
      peer.send(sender.introduction({swapped}));
      if (expectAnswer(sender, peer) != sharing::nearby::ConnectionResponseFrame::ACCEPT) {
        throw std::runtime_error("declined");
      }
      completionNotice = sendFilesUntilNotice(sender, peer, {swapped});
    } catch (const std::exception& thrown) {
      error = thrown.what();
    }
    done = true;
  });

  ASSERT_TRUE(runMainLoopUntil([&] { return prompt->asked.size() == 2; }));
  EXPECT_EQ(prompt->asked[0].files.front().name, "harmless.txt");
  EXPECT_EQ(prompt->asked[1].files.front().name, "other.bin");
  EXPECT_TRUE(downloadEntries().empty()) << "harmless.txt, whole before the decision, is deleted";
  prompt->decisions[0](true);  // the answer to the question that showed harmless.txt
  MainLoop::shared().runUntil([] { return false; }, 50ms);
  EXPECT_TRUE(log_.linesStartingWith("[TransferCoordinator] User").empty());
  prompt->decisions[1](true);
  bool finished = runMainLoopUntil([&] { return done && !prompt->completed.empty(); });
  client.join();
  ASSERT_TRUE(finished) << error;
  EXPECT_EQ(error, "");
  EXPECT_TRUE(completionNotice);
  EXPECT_EQ(downloadEntries(), std::vector<std::string>{"other.bin"});
}

TEST_F(TransferQuestionEndToEndTest, ASenderThatLeavesWhileAskedIsWithdrawnAndTheNextAsked) {
  for (bool sendsCancel : {false, true}) {
    SCOPED_TRACE(sendsCancel ? "Sharing CANCEL" : "stream closed");
    test::TerminalHarness terminal;
    auto shell = useShell(terminal.ask());
    std::string screen;
    auto shows = [&](const std::string& text) {
      screen += terminal.printed();
      return screen.find(text) != std::string::npos;
    };
    TestFile half{"half.bin", patterned(700'000, 7), 41};
    TestFile kept{sendsCancel ? "kept-2.bin" : "kept-1.bin", patterned(900, 8), 42};
    std::promise<void> leave;
    std::jthread leaving([&, leaveSignal = leave.get_future()] {
      try {
        TestSender sender("Leaving");
        LoopbackPeer peer(port_);
        introduce(sender, peer, {half});
        peer.send(sender.fileChunk(half.payloadId, 0, ByteView(half.contents).first(1000), false));
        leaveSignal.wait_for(60s);
        if (sendsCancel) peer.send(sender.cancel());
      } catch (const std::exception&) {
      }
    });
    ASSERT_TRUE(runMainLoopUntil([&] { return shows("Incoming transfer from Leaving"); }));
    auto isTemporary = [](const std::string& name) { return name.starts_with(".orvel-"); };
    ASSERT_TRUE(runMainLoopUntil([&] {
      auto entries = downloadEntries();
      return std::any_of(entries.begin(), entries.end(), isTemporary);
    })) << "the first chunk is in a temporary file";
    SenderOutcome staying;
    std::atomic<bool> stayed = false;
    std::jthread stayingThread([&] {
      staying = runSender(port_, "Staying", {kept});
      stayed = true;
    });
    ASSERT_TRUE(runMainLoopUntil([&] {
      return log_.contains("[TransferCoordinator] Incoming transfer from Staying (" + kept.name + ")");
    }));
    EXPECT_FALSE(shows("Staying")) << "asked only after the question on screen";

    leave.set_value();
    ASSERT_TRUE(runMainLoopUntil([&] { return shows("Incoming transfer from Staying"); })) << screen;
    EXPECT_NE(screen.find("\nLeaving cancelled; the question is withdrawn.\n\nIncoming transfer from Staying"),
              std::string::npos)
        << screen;
    terminal.answer("y\n");
    bool finished = runMainLoopUntil([&] { return stayed.load(); });
    stayingThread.join();
    leaving.join();
    ASSERT_TRUE(finished);
    EXPECT_EQ(staying.error, "");
    EXPECT_TRUE(staying.receivedCompletionNotice);
    auto entries = downloadEntries();
    EXPECT_TRUE(std::find(entries.begin(), entries.end(), kept.name) != entries.end());
    EXPECT_TRUE(std::none_of(entries.begin(), entries.end(), isTemporary)) << "no temporary file is left";
    EXPECT_TRUE(std::find(entries.begin(), entries.end(), half.name) == entries.end());
    // The row ends once the completion reached its own screen: reported
    // later, it would go to the next row's shell.
    EXPECT_TRUE(runMainLoopUntil([&] { return shows("Received " + kept.name + " from Staying"); })) << screen;
  }
}

}  // namespace
}  // namespace orvel
