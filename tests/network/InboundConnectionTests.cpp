#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <thread>

#include "network/HeldBytesBudget.h"
#include "network/InboundConnection.h"
#include "platform/Log.h"
#include "protocol/MessageCodec.h"
#include "support/ManualQueue.h"
#include "support/MemoryConnection.h"
#include "support/TestSender.h"
#include "support/TestSupport.h"

namespace orvel {

void PrintTo(InboundConnection::State state, std::ostream* stream) { *stream << toString(state); }

namespace {

namespace connections = location::nearby::connections;
using test::TestFile;
using test::TestSender;

class RecordingDelegate final : public InboundConnectionDelegate {
 public:
  void connectionDidReceiveTransferRequest(InboundConnection&, const TransferRequest& request) override {
    requests.push_back(request);
  }
  void connectionDidCompleteTransfer(InboundConnection&, const TransferSession& session) override {
    completions.push_back(session);
    if (onCompletion) onCompletion();
  }
  void connectionDidFail(InboundConnection&, const EngineError& error) override { failures.push_back(error); }
  void connectionDidClose(InboundConnection&) override { ++closes; }

  std::vector<TransferRequest> requests;
  std::vector<TransferSession> completions;
  std::vector<EngineError> failures;
  int closes = 0;
  std::function<void()> onCompletion;  // runs as the completion is reported
};

Bytes patterned(std::size_t length, std::uint8_t seed) {
  Bytes bytes(length);
  for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 7 + i / 251);
  return bytes;
}

// A plaintext KEEP_ALIVE padded with an unknown field to `length` bytes.
Bytes paddedKeepAlive(std::size_t length) {
  Bytes frame = TestSender::keepAlive();
  std::size_t filler = length - frame.size() - 2;
  frame.push_back(0x7a);  // field 15, length-delimited: unknown to the schema
  frame.push_back(static_cast<std::uint8_t>(filler));
  frame.insert(frame.end(), filler, 0x55);
  return frame;
}

class InboundConnectionTest : public ::testing::Test {
 protected:
  // Also called again by table-driven tests, for a fresh connection per row.
  void SetUp() override {
    endConnection();
    log_.clear();
    received_.clear();
    delegate_ = std::make_shared<RecordingDelegate>();
    sender_ = TestSender();
    home_.writeDownloadPath(downloads_.path());
    connection_ = std::make_shared<test::MemoryConnection>();
    inbound_ = InboundConnection::create(connection_, Uuid::random(), queue_);
    inbound_->setDelegate(delegate_);
    heldBytes_ = std::make_shared<HeldBytesBudget>(std::int64_t{32} << 20);
    inbound_->setHeldBytesBudget(heldBytes_);
    inbound_->start();
    connection_->becomeReady();
    run();
  }

  void TearDown() override { endConnection(); }
  // The outstanding read holds the connection; cancelling lets both go.
  void endConnection() {
    if (!connection_) return;
    connection_->cancel();
    run();
  }

  void run() { queue_->drain(); }
  void push(ByteView body) {
    connection_->push(test::framed(body));
    run();
  }
  void push(const std::vector<Bytes>& bodies) {
    for (const auto& body : bodies) push(body);
  }

  // Plaintext phase up to the receiver's own CONNECTION_RESPONSE and PAIRED_KEY_ENCRYPTION.
  void handshake() {
    push(sender_.connectionRequest());
    ASSERT_EQ(inbound_->state(), InboundConnection::State::awaitingUkey2ClientInit);
    push(sender_.clientInit());
    auto serverInit = connection_->takeSentFrames();
    ASSERT_EQ(serverInit.size(), 1u);
    ASSERT_EQ(inbound_->state(), InboundConnection::State::awaitingUkey2ClientFinish);
    push(sender_.clientFinish(serverInit[0]));
    ASSERT_EQ(inbound_->state(), InboundConnection::State::awaitingConnectionResponse);
    push(sender_.connectionResponse());
    ASSERT_EQ(inbound_->state(), InboundConnection::State::awaitingPairedKeyExchange);
    auto replies = connection_->takeSentFrames();
    ASSERT_EQ(replies.size(), 3u);
    EXPECT_EQ(hexString(replies[0]), "0801120c08021a080800180122020804");
    for (std::size_t i = 1; i < 3; ++i) received_.push_back(sender_.openEncrypted(replies[i]));
  }

  void exchangePairedKeys() {
    push(sender_.pairedKeyEncryption());
    push(sender_.pairedKeyResult());
    ASSERT_EQ(inbound_->state(), InboundConnection::State::awaitingIntroduction);
  }

  void introduce(const std::vector<TestFile>& files) {
    push(sender_.introduction(files));
    ASSERT_EQ(inbound_->state(), InboundConnection::State::pendingAcceptance);
  }

  void reachPendingAcceptance(const std::vector<TestFile>& files) {
    handshake();
    exchangePairedKeys();
    introduce(files);
  }

  // The user answers the last request.
  std::uint64_t lastOffer() const {
    return delegate_->requests.empty() ? 0 : delegate_->requests.back().offerNumber;
  }
  void acceptOffer() { inbound_->acceptTransfer(lastOffer()); }
  void declineOffer() { inbound_->declineTransfer(lastOffer()); }

  // Opens the encrypted frames sent since the last call.
  std::vector<TestSender::Received> receiveEncrypted() {
    std::vector<TestSender::Received> frames;
    for (const auto& body : connection_->takeSentFrames()) frames.push_back(sender_.openEncrypted(body));
    return frames;
  }

  // Every entry of the download folder, hidden temporary files included.
  std::vector<std::string> downloadEntries() const { return test::folderEntries(downloads_.path()); }

  std::string failureText(std::size_t index = 0) const {
    return index < delegate_->failures.size() ? describe(delegate_->failures[index]) : "";
  }

  template <class E>
  bool failedWith(E error) const {
    return delegate_->failures.size() == 1 && delegate_->failures[0] == EngineError(error) &&
           inbound_->state() == InboundConnection::State::failed && connection_->isCancelled();
  }

  test::ScopedHome home_;
  test::TemporaryDirectory downloads_;
  LogCapture log_;
  std::shared_ptr<test::ManualQueue> queue_ = std::make_shared<test::ManualQueue>();
  std::shared_ptr<test::MemoryConnection> connection_;
  std::shared_ptr<RecordingDelegate> delegate_ = std::make_shared<RecordingDelegate>();
  std::shared_ptr<InboundConnection> inbound_;
  std::shared_ptr<HeldBytesBudget> heldBytes_;
  TestSender sender_;
  std::vector<TestSender::Received> received_;
};

// A whole transfer.

TEST_F(InboundConnectionTest, ReceivesSeveralFilesAndReportsCompletion) {
  std::vector<TestFile> files = {
      {"photo.jpg", patterned(1'300'000, 1), 101, "image/jpeg"},
      {"notes.txt", patterned(1000, 2), 102, "text/plain"},
      {"empty.bin", {}, 103},
  };
  reachPendingAcceptance(files);
  ASSERT_EQ(delegate_->requests.size(), 1u);
  const TransferRequest& request = delegate_->requests[0];
  EXPECT_EQ(request.sessionId, inbound_->sessionId());
  EXPECT_EQ(request.senderName, "Pixel 9");
  EXPECT_EQ(request.pin, sender_.pin());
  ASSERT_EQ(request.files.size(), 3u);
  EXPECT_EQ(request.files[0].name, "photo.jpg");
  EXPECT_EQ(request.files[0].size, 1'300'000);
  EXPECT_EQ(request.files[0].payloadId, 101);
  EXPECT_EQ(request.files[0].mimeType, "image/jpeg");
  EXPECT_TRUE(log_.contains("[InboundConnection] Received INTRODUCTION with 3 files"));

  acceptOffer();
  EXPECT_EQ(inbound_->state(), InboundConnection::State::pendingAcceptance) << "runs on the queue";
  run();
  EXPECT_EQ(inbound_->state(), InboundConnection::State::transferring);

  std::vector<Bytes> sentWhenReported;
  delegate_->onCompletion = [&] { sentWhenReported = connection_->sentFrames(); };
  for (const auto& file : files) push(sender_.fileChunks(file));

  EXPECT_EQ(log_.linesStartingWith("[InboundConnection] File complete: "),
            (std::vector<std::string>{"[InboundConnection] File complete: 101 (1/3)",
                                      "[InboundConnection] File complete: 102 (2/3)",
                                      "[InboundConnection] File complete: 103 (3/3)"}));
  ASSERT_EQ(delegate_->completions.size(), 1u);
  const TransferSession& session = delegate_->completions[0];
  EXPECT_EQ(session.id, inbound_->sessionId());
  EXPECT_EQ(session.senderName, "Pixel 9");
  EXPECT_EQ(session.pin, sender_.pin());
  EXPECT_EQ(session.files.size(), 3u);
  EXPECT_EQ(session.state, TransferState::completed);
  EXPECT_EQ(inbound_->state(), InboundConnection::State::completed);
  EXPECT_TRUE(delegate_->failures.empty());
  EXPECT_FALSE(connection_->isCancelled()) << "the connection stays open after completion";

  for (const auto& file : files) {
    EXPECT_EQ(test::readFile(downloads_.path() / file.name), std::string(file.contents.begin(), file.contents.end()));
  }
  EXPECT_EQ(downloadEntries(), (std::vector<std::string>{"empty.bin", "notes.txt", "photo.jpg"}));

  // The receiver's frames: its PAIRED_KEY_ENCRYPTION (1, 2), PAIRED_KEY_RESULT
  // (3, 4) and ACCEPT (5, 6), then the plaintext completion notice.
  auto sent = connection_->takeSentFrames();
  ASSERT_EQ(sent.size(), 5u);
  for (std::size_t i = 0; i < 4; ++i) received_.push_back(sender_.openEncrypted(sent[i]));
  ASSERT_EQ(received_.size(), 6u);
  for (std::size_t i = 0; i < received_.size(); ++i) {
    EXPECT_EQ(received_[i].sequenceNumber, static_cast<std::int32_t>(i + 1));
  }
  ASSERT_TRUE(received_[0].sharing);
  EXPECT_EQ(received_[0].sharing->v1().type(), sharing::nearby::V1Frame::PAIRED_KEY_ENCRYPTION);
  ASSERT_TRUE(received_[2].sharing);
  EXPECT_EQ(received_[2].sharing->v1().type(), sharing::nearby::V1Frame::PAIRED_KEY_RESULT);
  ASSERT_TRUE(received_[4].sharing);
  EXPECT_EQ(received_[4].sharing->v1().connection_response().status(),
            sharing::nearby::ConnectionResponseFrame::ACCEPT);
  EXPECT_EQ(hexString(sent[4]), "0801120608063a021001");
  ASSERT_FALSE(sentWhenReported.empty());
  EXPECT_EQ(sentWhenReported.back(), sent[4]) << "the completion notice goes out before completion is reported";

  // Further frames are dropped, and reading goes on; a large one is read in
  // pieces, never held whole.
  push(TestSender::keepAlive());
  EXPECT_TRUE(log_.contains("[InboundConnection] Unexpected frame in state: completed"));
  EXPECT_TRUE(connection_->hasPendingReceive());
  connection_->push(bigEndian32(4'000'000));
  run();
  EXPECT_LE(connection_->pendingReceiveMaximum(), 64u * 1024);
}

TEST_F(InboundConnectionTest, SenderNameComesFromTheConnectionRequestUnlessItIsEmpty) {
  for (std::string name : {"Alice's Pixel", ""}) {
    SCOPED_TRACE(name);
    SetUp();
    sender_ = TestSender(name);
    reachPendingAcceptance({{"a.txt", patterned(10, 0), 1}});
    ASSERT_EQ(delegate_->requests.size(), 1u);
    std::string expected = name.empty() ? "Sender" : name;
    EXPECT_EQ(delegate_->requests[0].senderName, expected);
    EXPECT_EQ(inbound_->senderName(), expected);
  }
}

// Framing.

// Before the encrypted channel only the handshake's small frames may come.
TEST_F(InboundConnectionTest, LengthPrefixesOutsideTheBoundsOfTheirPhaseFailTheConnection) {
  struct Case {
    bool encrypted;
    std::uint32_t length;
    bool accepted;
  };
  for (auto [encrypted, length, accepted] :
       {Case{false, 0, false}, Case{false, 1, true}, Case{false, 32 * 1024, true}, Case{false, 32 * 1024 + 1, false},
        Case{false, 4'999'999, false}, Case{false, 5'000'000, false}, Case{false, 0xFFFFFFFF, false},
        Case{true, 0, false}, Case{true, 4'999'999, true}, Case{true, 5'000'000, false}}) {
    SCOPED_TRACE(std::to_string(length) + (encrypted ? " encrypted" : " in the handshake"));
    SetUp();
    if (encrypted) handshake();
    log_.clear();
    connection_->push(bigEndian32(length));
    run();
    if (accepted) {
      EXPECT_TRUE(delegate_->failures.empty());
      // The body is read whole, then handled: zeros are no message at all.
      connection_->push(Bytes(length, 0));
      run();
      EXPECT_TRUE(failedWith(MessageError::malformed)) << failureText();
    } else {
      EXPECT_TRUE(failedWith(ConnectionError::transferFailed)) << failureText();
      EXPECT_EQ(std::count(connection_->events.begin(), connection_->events.end(), "receiveAfterCancel"), 0);
      // A length the wire never allows fails without a word, as any bad prefix.
      EXPECT_EQ(log_.contains("[InboundConnection] Frame of " + std::to_string(length) +
                              " bytes before the encrypted channel, more than the limit of 32768"),
                !encrypted && length > 32 * 1024 && length <= 4'999'999);
    }
  }
}

TEST_F(InboundConnectionTest, CleanEndOfStreamClosesSilently) {
  for (std::size_t prefixBytes : {0u, 2u}) {
    SCOPED_TRACE(prefixBytes);
    SetUp();
    push(sender_.connectionRequest());
    log_.clear();
    connection_->push(Bytes(prefixBytes, 0));
    connection_->endStream();
    run();
    EXPECT_EQ(delegate_->closes, 1);
    EXPECT_TRUE(delegate_->failures.empty());
    EXPECT_TRUE(log_.lines().empty());
    EXPECT_EQ(inbound_->state(), InboundConnection::State::awaitingUkey2ClientInit);
    EXPECT_FALSE(connection_->hasPendingReceive());
  }
}

TEST_F(InboundConnectionTest, EndOfStreamInsideABodyFails) {
  Bytes request = test::framed(sender_.connectionRequest());
  request.resize(request.size() - 3);
  connection_->push(request);
  connection_->endStream();
  run();
  EXPECT_TRUE(failedWith(ConnectionError::transferFailed)) << failureText();
  EXPECT_EQ(delegate_->closes, 1) << "the cancelled state follows";
}

TEST_F(InboundConnectionTest, ReadErrorFailsOnceAndStopsReading) {
  connection_->fail(std::make_error_code(std::errc::connection_reset));
  run();
  ASSERT_EQ(delegate_->failures.size(), 1u);
  EXPECT_EQ(delegate_->failures[0], EngineError(std::make_error_code(std::errc::connection_reset)));
  EXPECT_EQ(inbound_->state(), InboundConnection::State::failed);
  EXPECT_FALSE(connection_->hasPendingReceive());
}

// Plaintext phase.

TEST_F(InboundConnectionTest, BadPlaintextFramesFailTheHandshake) {
  auto withoutVersion = [] {
    auto frame = TestSender::frameOfType(connections::V1Frame::CONNECTION_REQUEST);
    frame.clear_version();
    return MessageCodec::serialize(frame);
  };
  auto unknownVersion = [] {
    auto frame = TestSender::frameOfType(connections::V1Frame::CONNECTION_RESPONSE);
    frame.set_version(connections::OfflineFrame::UNKNOWN_VERSION);
    return MessageCodec::serialize(frame);
  };
  struct Case {
    std::string name;
    int framesBefore;  // of the good conversation: 0 request, 3 up to the sender's CONNECTION_RESPONSE
    Bytes body;
    EngineError error;
    std::string line;
  };
  std::vector<Case> cases = {
      {"no version", 0, withoutVersion(), ConnectionError::handshakeFailed,
       "[InboundConnection] Invalid OfflineFrame version: unknownVersion"},
      {"keep-alive first", 0, TestSender::keepAlive(), ConnectionError::handshakeFailed,
       "[InboundConnection] Expected CONNECTION_REQUEST, got: keepAlive"},
      {"not a frame", 0, Bytes{0xff, 0xff}, MessageError::malformed, ""},
      {"unknown version in response", 3, unknownVersion(), ConnectionError::handshakeFailed,
       "[InboundConnection] Invalid OfflineFrame version: unknownVersion"},
      {"request instead of response", 3, TestSender().connectionRequest(), ConnectionError::handshakeFailed,
       "[InboundConnection] Expected CONNECTION_RESPONSE, got: connectionRequest"},
  };
  for (const auto& item : cases) {
    SCOPED_TRACE(item.name);
    SetUp();
    if (item.framesBefore >= 1) push(sender_.connectionRequest());
    if (item.framesBefore >= 2) push(sender_.clientInit());
    if (item.framesBefore >= 3) push(sender_.clientFinish(connection_->takeSentFrames().at(0)));
    push(item.body);
    ASSERT_EQ(delegate_->failures.size(), 1u);
    EXPECT_EQ(delegate_->failures[0], item.error) << failureText();
    EXPECT_EQ(inbound_->state(), InboundConnection::State::failed);
    if (!item.line.empty()) {
      EXPECT_TRUE(log_.contains(item.line));
    }
  }
}

TEST_F(InboundConnectionTest, BadUkey2MessageFailsWithTheCryptoError) {
  push(sender_.connectionRequest());
  push(Bytes{0x08, 0x09});
  ASSERT_EQ(delegate_->failures.size(), 1u);
  EXPECT_TRUE(std::holds_alternative<CryptoError>(delegate_->failures[0]) ||
              std::holds_alternative<MessageError>(delegate_->failures[0]))
      << failureText();
  EXPECT_TRUE(connection_->isCancelled());
}

TEST_F(InboundConnectionTest, RequestWithoutEndpointFieldsAndRejectingResponseAreAccepted) {
  auto request = TestSender::frameOfType(connections::V1Frame::CONNECTION_REQUEST);
  push(MessageCodec::serialize(request));
  EXPECT_TRUE(log_.contains("[InboundConnection] CONNECTION_REQUEST from endpoint: , name: "));
  push(sender_.clientInit());
  push(sender_.clientFinish(connection_->takeSentFrames().at(0)));
  EXPECT_TRUE(log_.contains("[InboundConnection] UKEY2 handshake complete, PIN: " + sender_.pin() +
                            ", awaiting CONNECTION_RESPONSE"));
  auto response = TestSender::frameOfType(connections::V1Frame::CONNECTION_RESPONSE);
  response.mutable_v1()->mutable_connection_response()->set_response(connections::ConnectionResponseFrame::REJECT);
  push(MessageCodec::serialize(response));
  EXPECT_TRUE(
      log_.contains("[InboundConnection] Client CONNECTION_RESPONSE - status (deprecated): 0, response: reject"));
  EXPECT_EQ(inbound_->state(), InboundConnection::State::awaitingPairedKeyExchange);
  EXPECT_EQ(connection_->takeSentFrames().size(), 3u);
}

// Encrypted phase.

TEST_F(InboundConnectionTest, PairedKeyExchangeCompletesInEitherOrder) {
  for (bool encryptionFirst : {true, false}) {
    SCOPED_TRACE(encryptionFirst);
    SetUp();
    handshake();
    push(encryptionFirst ? sender_.pairedKeyEncryption() : sender_.pairedKeyResult());
    EXPECT_EQ(inbound_->state(), InboundConnection::State::awaitingPairedKeyExchange);
    EXPECT_EQ(receiveEncrypted().size(), encryptionFirst ? 2u : 0u);
    push(encryptionFirst ? sender_.pairedKeyResult() : sender_.pairedKeyEncryption());
    EXPECT_EQ(inbound_->state(), InboundConnection::State::awaitingIntroduction);
    auto answers = encryptionFirst ? std::vector<TestSender::Received>{} : receiveEncrypted();
    if (!encryptionFirst) {
      ASSERT_EQ(answers.size(), 2u);
      EXPECT_EQ(answers[0].sequenceNumber, 3);
      EXPECT_EQ(answers[0].sharing->v1().type(), sharing::nearby::V1Frame::PAIRED_KEY_RESULT);
    }
    EXPECT_EQ(log_.linesStartingWith("[InboundConnection] Paired key exchange complete").size(), 1u);
  }
}

// Completion follows the last chunk of an announced file, so a transfer of no
// files is asked about and accepted, but never completes.
TEST_F(InboundConnectionTest, IntroductionReachesTheUserBeforeThePairedKeysAndWithoutFiles) {
  struct Case {
    std::string name;
    bool pairedKeysFirst;
    std::vector<TestFile> files;
  };
  for (const auto& item : std::vector<Case>{{"before the paired keys", false, {{"a.txt", patterned(5, 0), 7}}},
                                            {"no files", true, {}}}) {
    SCOPED_TRACE(item.name);
    SetUp();
    handshake();
    if (item.pairedKeysFirst) exchangePairedKeys();
    introduce(item.files);
    ASSERT_EQ(delegate_->requests.size(), 1u);
    EXPECT_EQ(delegate_->requests[0].files.size(), item.files.size());
    acceptOffer();
    run();
    push(sender_.fileChunk(99, 0, patterned(3, 0), true));  // announced by no one
    EXPECT_EQ(inbound_->state(), InboundConnection::State::transferring);
    EXPECT_TRUE(delegate_->completions.empty());
  }
}

TEST_F(InboundConnectionTest, PlaintextKeepAliveIsProbedUpTo49Bytes) {
  handshake();
  exchangePairedKeys();
  receiveEncrypted();
  push(paddedKeepAlive(49));
  EXPECT_TRUE(log_.contains("[InboundConnection] Detected plaintext keepAlive frame"));
  auto answers = receiveEncrypted();
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].sequenceNumber, 5);
  EXPECT_EQ(answers[0].frame.v1().type(), connections::V1Frame::KEEP_ALIVE);
  // The received count did not move: the sender's next number is still accepted.
  introduce({{"a.txt", patterned(5, 0), 7}});

  push(paddedKeepAlive(50));
  EXPECT_EQ(delegate_->failures.size(), 1u) << "50 bytes go to decryption, which fails";
  EXPECT_EQ(inbound_->state(), InboundConnection::State::failed);
}

TEST_F(InboundConnectionTest, EncryptedKeepAliveIsAnswered) {
  handshake();
  receiveEncrypted();
  push(sender_.encrypt(TestSender::frameOfType(connections::V1Frame::KEEP_ALIVE)));
  auto answers = receiveEncrypted();
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].frame.v1().type(), connections::V1Frame::KEEP_ALIVE);
  EXPECT_EQ(answers[0].sequenceNumber, 3);
}

TEST_F(InboundConnectionTest, SequenceNumbersMustFollowEachOther) {
  struct Case {
    std::string name;
    std::vector<std::int32_t> numbers;  // of the sender's first encrypted frames
    bool accepted;
  };
  for (const auto& item : std::vector<Case>{{"in order", {1, 2, 3}, true},
                                            {"replayed", {1, 2, 2}, false},
                                            {"dropped", {1, 3}, false},
                                            {"starts at 0", {0}, false},
                                            {"starts at 2", {2}, false},
                                            {"reordered", {2, 1}, false}}) {
    SCOPED_TRACE(item.name);
    SetUp();
    handshake();
    for (auto number : item.numbers) {
      push(sender_.encryptWithSequenceNumber(TestSender::frameOfType(connections::V1Frame::PAIRED_KEY_RESULT), number));
    }
    if (item.accepted) {
      EXPECT_TRUE(delegate_->failures.empty());
    } else {
      EXPECT_TRUE(failedWith(CryptoError::invalidMessage)) << failureText();
      EXPECT_EQ(log_.linesStartingWith("[InboundConnection] Unexpected sequence number: ").size(), 1u);
      if (item.name == "replayed") {
        EXPECT_TRUE(log_.contains("[InboundConnection] Unexpected sequence number: 2, expected 3"));
      }
    }
  }
}

TEST_F(InboundConnectionTest, UnreadableContentOfTheChannelFails) {
  struct Case {
    std::string name;
    std::function<std::vector<Bytes>(TestSender&)> frames;
  };
  std::vector<Case> cases = {
      {"not a Connections frame",
       [](TestSender& sender) {
         return std::vector<Bytes>{sender.encryptBytes(Bytes{0xff, 0xff, 0xff})};
       }},
      {"not a Sharing frame",
       [](TestSender& sender) {
         return sender.bytesPayload(Bytes{0xff, 0xff, 0xff});
       }},
  };
  for (const auto& item : cases) {
    SCOPED_TRACE(item.name);
    SetUp();
    handshake();
    push(item.frames(sender_));
    EXPECT_TRUE(failedWith(MessageError::malformed)) << failureText();
  }
}

// Payloads.

TEST_F(InboundConnectionTest, UnknownPayloadIdIsDroppedAndTheTransferGoesOn) {
  TestFile file{"a.bin", patterned(2000, 3), 5};
  reachPendingAcceptance({file});
  acceptOffer();
  run();
  push(sender_.fileChunk(999, 0, patterned(10, 0), false));
  EXPECT_TRUE(log_.contains("[InboundConnection] Unknown payloadId: 999"));
  push(sender_.fileChunks(file));
  EXPECT_EQ(delegate_->completions.size(), 1u);
  EXPECT_EQ(downloadEntries(), std::vector<std::string>{"a.bin"});
}

TEST_F(InboundConnectionTest, IntroductionsThatCannotBeReceivedFail) {
  struct Case {
    std::string name;
    std::vector<TestFile> files;
    std::string line;
  };
  for (const auto& item : std::vector<Case>{
           {"duplicate payload ids",
            {{"a.txt", patterned(5, 0), 7}, {"b.txt", patterned(5, 1), 7}},
            "[InboundConnection] Duplicate payloadId in INTRODUCTION: 7"},
           {"negative size",
            {{"a.txt", patterned(5, 0), 7}, {"b.txt", {}, 8, "text/plain", -1}},
            "[InboundConnection] Negative size in INTRODUCTION: -1"},
       }) {
    SCOPED_TRACE(item.name);
    SetUp();
    handshake();
    exchangePairedKeys();
    push(sender_.introduction(item.files));
    EXPECT_TRUE(failedWith(ConnectionError::transferFailed)) << failureText();
    EXPECT_TRUE(log_.contains(item.line));
    EXPECT_TRUE(delegate_->requests.empty());
  }
}

// A file never grows past the size the user was shown, and is saved only when
// every byte of it came, whatever order and overlap the chunks had.
TEST_F(InboundConnectionTest, AFileIsSavedOnlyWholeAndNeverPastItsAnnouncedSize) {
  const TestFile small{"small.txt", patterned(10, 1), 1};
  struct Chunk {
    std::int64_t offset;
    std::size_t length;
    bool isLast;
  };
  struct Case {
    std::string name;
    bool accepted;
    std::vector<Chunk> chunks;
    std::optional<EngineError> error;  // none: saved whole
  };
  for (const auto& item : std::vector<Case>{
           {"one byte far beyond", true, {{std::int64_t{1} << 36, 1, true}}, FileWriterError::writeFailed},
           {"one byte past the end", true, {{0, 11, false}}, FileWriterError::writeFailed},
           {"past the end before the answer", false, {{5, 6, false}}, FileWriterError::writeFailed},
           {"short last chunk", true, {{0, 5, true}}, ConnectionError::transferFailed},
           {"short last chunk before the answer", false, {{0, 9, true}}, ConnectionError::transferFailed},
           {"empty last chunk after 5 of 10 bytes", true, {{0, 5, false}, {10, 0, true}},
            ConnectionError::transferFailed},
           {"only an empty last chunk", true, {{10, 0, true}}, ConnectionError::transferFailed},
           {"only an empty last chunk before the answer", false, {{10, 0, true}}, ConnectionError::transferFailed},
           {"second half first with the last flag", true, {{5, 5, true}, {0, 5, false}},
            ConnectionError::transferFailed},
           {"overlapping chunks that cover the file", true, {{0, 6, false}, {3, 5, false}, {4, 6, true}}, std::nullopt},
       }) {
    SCOPED_TRACE(item.name);
    SetUp();
    reachPendingAcceptance({small});
    if (item.accepted) {
      acceptOffer();
      run();
    }
    for (const auto& chunk : item.chunks) {
      auto inside = chunk.offset + static_cast<std::int64_t>(chunk.length) <= 10;
      auto data = inside ? Bytes(small.contents.begin() + chunk.offset,
                                 small.contents.begin() + chunk.offset + static_cast<std::int64_t>(chunk.length))
                         : patterned(chunk.length, 2);
      push(sender_.fileChunk(small.payloadId, chunk.offset, data, chunk.isLast));
    }
    if (item.error) {
      EXPECT_TRUE(failedWith(*item.error)) << failureText();
      EXPECT_TRUE(downloadEntries().empty());
      EXPECT_TRUE(delegate_->completions.empty());
    } else {
      EXPECT_TRUE(delegate_->failures.empty()) << failureText();
      EXPECT_EQ(delegate_->completions.size(), 1u);
      EXPECT_EQ(test::readFile(downloads_.path() / "small.txt"),
                std::string(small.contents.begin(), small.contents.end()));
    }
  }
}

// Until the user answers, a sender may leave at most 1 MiB in at most four
// files; past that the connection fails and takes its files with it.
TEST_F(InboundConnectionTest, BeforeTheAnswerASenderMayLeaveOnlyALittle) {
  const std::int64_t mebibyte = 1 << 20;
  std::vector<TestFile> thousand;
  for (std::int64_t id = 1; id <= 1000; ++id) thousand.push_back({"f" + std::to_string(id) + ".txt", {0x41}, id});
  const TestFile streamed{"movie.mp4", {}, 1, "video/mp4", 100 * mebibyte};
  std::vector<TestFile> fourQuarters;
  for (std::int64_t id = 1; id <= 4; ++id) {
    fourQuarters.push_back({"q" + std::to_string(id) + ".bin", patterned(1 << 18, static_cast<std::uint8_t>(id)), id});
  }
  // A chunk of `streamed`, in the order sent.
  auto streamChunk = [&](std::int64_t index) {
    auto offset = index * static_cast<std::int64_t>(TestSender::kChunkSize);
    return sender_.fileChunk(streamed.payloadId, offset, patterned(TestSender::kChunkSize, 3), false);
  };
  struct Case {
    std::string name;
    std::vector<TestFile> offered;
    std::function<std::vector<Bytes>()> chunks;
    std::size_t chunksTaken;  // before the connection fails; all of them: it does not
    std::string line;
  };
  std::vector<Case> cases = {
      {"1,000 files of one byte", thousand,
       [&] {
         std::vector<Bytes> chunks;
         for (const auto& file : thousand) chunks.push_back(sender_.fileChunk(file.payloadId, 0, file.contents, true));
         return chunks;
       },
       4, "[InboundConnection] More than 4 files begun before the answer"},
      {"one file streamed", {streamed},
       [&] { return std::vector<Bytes>{streamChunk(0), streamChunk(1), streamChunk(2)}; }, 2,
       "[InboundConnection] More than 1048576 bytes of files sent before the answer"},
      {"one byte far into a large file", {streamed},
       [&] { return std::vector<Bytes>{sender_.fileChunk(1, 50 * mebibyte, Bytes{0x41}, false)}; }, 0,
       "[InboundConnection] More than 1048576 bytes of files sent before the answer"},
      {"four whole files of 256 KiB", fourQuarters,
       [&] {
         std::vector<Bytes> chunks;
         for (const auto& file : fourQuarters) chunks.push_back(sender_.fileChunks(file).at(0));
         return chunks;
       },
       4, ""},
  };
  for (const auto& item : cases) {
    SCOPED_TRACE(item.name);
    SetUp();
    reachPendingAcceptance(item.offered);
    auto chunks = item.chunks();
    for (std::size_t index = 0; index < chunks.size(); ++index) {
      push(chunks[index]);
      bool failed = inbound_->state() == InboundConnection::State::failed;
      ASSERT_EQ(failed, index >= item.chunksTaken) << "after chunk " << index;
      if (failed) break;
    }
    if (item.chunksTaken < chunks.size()) {
      EXPECT_TRUE(failedWith(ConnectionError::transferFailed)) << failureText();
      EXPECT_TRUE(log_.contains(item.line));
      EXPECT_TRUE(downloadEntries().empty());
      continue;
    }
    // Within the bound, early files wait for the answer as before.
    EXPECT_EQ(downloadEntries().size(), 4u) << "four hidden temporary files";
    acceptOffer();
    run();
    ASSERT_EQ(delegate_->completions.size(), 1u) << failureText();
    EXPECT_EQ(downloadEntries(), (std::vector<std::string>{"q1.bin", "q2.bin", "q3.bin", "q4.bin"}));
  }
}

// The cancel waits for the REJECT to leave, unless the connection is closed
// first (stopListening()): then it does not wait for a sender that may never read.
TEST_F(InboundConnectionTest, ChunksBeforeTheDecisionAreDeletedOnDecline) {
  for (bool closedBeforeTheRejectLeft : {false, true}) {
    SCOPED_TRACE(closedBeforeTheRejectLeft ? "closed before the REJECT left" : "the REJECT left");
    SetUp();
    TestFile file{"big.bin", patterned(1'200'000, 4), 9};
    reachPendingAcceptance({file});
    receiveEncrypted();
    auto chunks = sender_.fileChunks(file);
    push(chunks[0]);
    EXPECT_EQ(downloadEntries().size(), 1u) << "the temporary file";

    connection_->holdSends = true;
    declineOffer();
    run();
    EXPECT_TRUE(downloadEntries().empty());
    auto reject = receiveEncrypted();
    ASSERT_EQ(reject.size(), 2u);
    EXPECT_EQ(reject[0].sharing->v1().connection_response().status(), sharing::nearby::ConnectionResponseFrame::REJECT);
    EXPECT_FALSE(connection_->isCancelled()) << "the close waits for the REJECT to leave";

    push(chunks[1]);  // read and dropped: the connection is ending
    EXPECT_TRUE(downloadEntries().empty());
    EXPECT_TRUE(connection_->hasPendingReceive()) << "it reads on, to see its sender close";
    if (closedBeforeTheRejectLeft) {
      inbound_->close();
    } else {
      connection_->releaseSends();
    }
    run();
    EXPECT_TRUE(connection_->isCancelled());
    EXPECT_EQ(connection_->events.back(), "cancel");
    EXPECT_EQ(std::count(connection_->events.begin(), connection_->events.end(), "sent"),
              closedBeforeTheRejectLeft ? 6 : 8);
    EXPECT_TRUE(delegate_->failures.empty());
    EXPECT_EQ(inbound_->state(), InboundConnection::State::pendingAcceptance);
  }
}

// An offer's list counts among what connections not yet accepted hold until
// the answer, and not a frame longer, either way.
TEST_F(InboundConnectionTest, AnAnswerEndsTheChargeOfTheOffersList) {
  std::vector<TestFile> files;
  for (int i = 0; i < 3'000; ++i) files.push_back({"photo-" + std::to_string(i) + ".jpg", {}, i + 1, "image/jpeg"});
  for (bool accepted : {true, false}) {
    SCOPED_TRACE(accepted ? "accepted" : "declined");
    SetUp();
    reachPendingAcceptance(files);
    EXPECT_GT(heldBytes_->held(), 0);
    accepted ? acceptOffer() : declineOffer();
    run();
    EXPECT_EQ(heldBytes_->held(), 0);
  }
}

TEST_F(InboundConnectionTest, DeclineStillSendsAfterTheOwnerDroppedTheConnection) {
  reachPendingAcceptance({{"a.txt", patterned(5, 0), 7}});
  receiveEncrypted();
  declineOffer();
  inbound_.reset();
  run();
  EXPECT_EQ(receiveEncrypted().size(), 2u);
  EXPECT_TRUE(connection_->isCancelled());
}

TEST_F(InboundConnectionTest, AcceptAndDeclineOutsidePendingAcceptanceDoNothing) {
  handshake();
  receiveEncrypted();
  acceptOffer();
  declineOffer();
  run();
  EXPECT_TRUE(receiveEncrypted().empty());
  EXPECT_FALSE(connection_->isCancelled());

  exchangePairedKeys();
  introduce({{"a.txt", patterned(5, 0), 7}});
  receiveEncrypted();
  acceptOffer();
  acceptOffer();
  run();
  EXPECT_EQ(receiveEncrypted().size(), 2u) << "one ACCEPT";
  EXPECT_EQ(inbound_->state(), InboundConnection::State::transferring);
}

TEST_F(InboundConnectionTest, FileFinishedBeforeTheDecisionWaitsForIt) {
  for (bool accept : {false, true}) {  // the declined row leaves the folder empty for the next
    SCOPED_TRACE(accept ? "accepted" : "declined");
    SetUp();
    TestFile early{"early.txt", patterned(100, 4), 9};
    TestFile late{"late.txt", patterned(700'000, 5), 10};
    reachPendingAcceptance({early, late});
    push(sender_.fileChunks(early));
    EXPECT_EQ(downloadEntries().size(), 1u) << "only the hidden temporary file";
    EXPECT_NE(downloadEntries()[0], "early.txt");

    if (!accept) {
      declineOffer();
      run();
      EXPECT_TRUE(downloadEntries().empty());
      EXPECT_TRUE(delegate_->failures.empty());
      continue;
    }
    acceptOffer();
    run();
    EXPECT_EQ(test::readFile(downloads_.path() / "early.txt"), std::string(early.contents.begin(), early.contents.end()));
    EXPECT_TRUE(delegate_->completions.empty());
    push(sender_.fileChunks(late));
    ASSERT_EQ(delegate_->completions.size(), 1u);
    EXPECT_EQ(downloadEntries(), (std::vector<std::string>{"early.txt", "late.txt"}));
  }
}

// Each INTRODUCTION is a new offer: an answer acts only on the offer it was
// given to, however alike a later one looks.
TEST_F(InboundConnectionTest, AnAnswerToAnEarlierOfferIsNeverApplied) {
  const TestFile a{"a.txt", patterned(10, 1), 1};
  const TestFile b{"b.exe", patterned(10, 2), 2};
  struct Answer {
    std::size_t offer;  // index into the requests
    bool accept;
  };
  struct Case {
    std::string name;
    std::vector<std::vector<TestFile>> offers;
    std::vector<Answer> staleAnswers;
    bool acceptsTheLast;
  };
  for (const auto& item : std::vector<Case>{
           {"the same offer twice", {{a}, {a}}, {{0, true}}, false},
           {"A, B, then A again", {{a}, {b}, {a}}, {{0, true}, {1, true}, {0, false}, {1, false}}, true},
       }) {
    SCOPED_TRACE(item.name);
    SetUp();
    handshake();
    exchangePairedKeys();
    for (const auto& files : item.offers) introduce(files);
    receiveEncrypted();
    ASSERT_EQ(delegate_->requests.size(), item.offers.size());
    for (auto [offer, accept] : item.staleAnswers) {
      auto number = delegate_->requests[offer].offerNumber;
      accept ? inbound_->acceptTransfer(number) : inbound_->declineTransfer(number);
    }
    run();
    EXPECT_TRUE(receiveEncrypted().empty());
    EXPECT_EQ(inbound_->state(), InboundConnection::State::pendingAcceptance);
    EXPECT_FALSE(connection_->isCancelled());
    EXPECT_EQ(log_.linesStartingWith("[InboundConnection] Answer ignored: ").size(), item.staleAnswers.size());

    item.acceptsTheLast ? acceptOffer() : declineOffer();
    run();
    auto answer = receiveEncrypted();
    ASSERT_EQ(answer.size(), 2u);
    EXPECT_EQ(answer[0].sharing->v1().connection_response().status(),
              item.acceptsTheLast ? sharing::nearby::ConnectionResponseFrame::ACCEPT
                                  : sharing::nearby::ConnectionResponseFrame::REJECT);
    if (!item.acceptsTheLast) continue;
    push(sender_.fileChunks(a));
    ASSERT_EQ(delegate_->completions.size(), 1u) << failureText();
    EXPECT_EQ(downloadEntries(), std::vector<std::string>{"a.txt"});
  }
}

TEST_F(InboundConnectionTest, ReplacingAnOfferAFourthTimeWithoutAnAnswerFails) {
  struct Case {
    std::string name;
    int offersBeforeAccept;  // 0: never accepted
    int offersAfter;
    bool fails;
  };
  for (const auto& item : std::vector<Case>{
           {"three replacements", 0, 4, false},
           {"four replacements", 0, 5, true},
           {"an accept starts the count again", 4, 4, false},
       }) {
    SCOPED_TRACE(item.name);
    SetUp();
    handshake();
    exchangePairedKeys();
    const std::vector<TestFile> files{{"a.txt", patterned(10, 1), 1}};
    for (int offer = 0; offer < item.offersBeforeAccept; ++offer) introduce(files);
    if (item.offersBeforeAccept > 0) {
      acceptOffer();
      run();
      ASSERT_EQ(inbound_->state(), InboundConnection::State::transferring);
    }
    for (int offer = 0; offer < item.offersAfter; ++offer) push(sender_.introduction(files));
    if (item.fails) {
      EXPECT_TRUE(failedWith(ConnectionError::transferFailed)) << failureText();
      EXPECT_TRUE(log_.contains("[InboundConnection] Offer replaced 4 times without an answer"));
    } else {
      EXPECT_TRUE(delegate_->failures.empty()) << failureText();
      EXPECT_EQ(inbound_->state(), InboundConnection::State::pendingAcceptance);
    }
  }
}

// Nothing received under an earlier offer carries over into a new one.
TEST_F(InboundConnectionTest, ANewOfferStartsItsFilesAfresh) {
  {
    SCOPED_TRACE("a whole file, offered again unchanged, then a short one");
    TestFile a{"a.txt", Bytes(10, 'A'), 1};
    TestFile begun{"begun.bin", patterned(700'000, 2), 2};
    reachPendingAcceptance({a, begun});
    push(sender_.fileChunks(a));
    push(sender_.fileChunk(2, 0, ByteView(begun.contents).first(TestSender::kChunkSize), false));
    ASSERT_EQ(downloadEntries().size(), 2u);
    introduce({a, begun});
    EXPECT_TRUE(downloadEntries().empty()) << "both temporary files are gone";
    push(sender_.fileChunk(1, 0, Bytes(5, 'B'), true));
    EXPECT_TRUE(failedWith(ConnectionError::transferFailed)) << failureText();
    EXPECT_TRUE(downloadEntries().empty());
  }
  {
    SCOPED_TRACE("a payload id completed under the old offer");
    SetUp();
    TestFile a{"a.txt", patterned(10, 1), 1};
    TestFile b{"b.txt", patterned(10, 2), 2};
    TestFile evil{"evil.exe", patterned(20, 3), 1};
    TestFile c{"c.txt", patterned(10, 4), 3};
    reachPendingAcceptance({a, b});
    acceptOffer();
    run();
    push(sender_.fileChunks(a));
    introduce({evil, c});
    acceptOffer();
    run();
    push(sender_.fileChunks(c));
    EXPECT_TRUE(delegate_->completions.empty()) << "evil.exe has not arrived";
    push(sender_.fileChunks(evil));
    ASSERT_EQ(delegate_->completions.size(), 1u) << failureText();
    EXPECT_EQ(downloadEntries(), (std::vector<std::string>{"a.txt", "c.txt", "evil.exe"}));
    EXPECT_EQ(test::readFile(downloads_.path() / "evil.exe"), byteString(evil.contents));
  }
}

TEST_F(InboundConnectionTest, WriteErrorInTheSecondFileKeepsTheFirst) {
  TestFile first{"first.txt", patterned(3000, 1), 1};
  TestFile second{"second.txt", patterned(3000, 2), 2};
  reachPendingAcceptance({first, second});
  acceptOffer();
  run();
  push(sender_.fileChunks(first));
  push(sender_.fileChunk(2, 0, ByteView(second.contents).first(1000), false));
  EXPECT_EQ(downloadEntries().size(), 2u);
  push(sender_.fileChunk(2, -1000, ByteView(second.contents).subspan(1000), true));
  EXPECT_TRUE(failedWith(FileWriterError::writeFailed)) << failureText();
  EXPECT_EQ(downloadEntries(), std::vector<std::string>{"first.txt"});
  EXPECT_TRUE(delegate_->completions.empty());
}

TEST_F(InboundConnectionTest, WriterThatCannotBeCreatedFails) {
  home_.writeDownloadPath(downloads_.path() / "missing");
  TestFile file{"a.txt", patterned(30, 1), 1};
  reachPendingAcceptance({file});
  push(sender_.fileChunk(1, 0, patterned(3, 0), false));
  ASSERT_EQ(delegate_->failures.size(), 1u);
  EXPECT_TRUE(std::holds_alternative<std::error_code>(delegate_->failures[0])) << failureText();
  EXPECT_EQ(inbound_->unsavedFile(), (UnsavedFile{"a.txt", downloads_.path() / "missing"}));
  EXPECT_TRUE(downloadEntries().empty());
}

TEST_F(InboundConnectionTest, ChunkAfterItsFileWasFinishedFails) {
  TestFile first{"first.txt", patterned(30, 1), 1};
  TestFile second{"second.txt", patterned(30, 2), 2};
  reachPendingAcceptance({first, second});
  acceptOffer();
  run();
  push(sender_.fileChunks(first));
  push(sender_.fileChunk(1, 30, patterned(3, 0), true));
  EXPECT_TRUE(failedWith(FileWriterError::notOpen)) << failureText();
  EXPECT_EQ(downloadEntries(), std::vector<std::string>{"first.txt"});
}

// Ends of a connection.

TEST_F(InboundConnectionTest, EveryEndInTheMiddleOfAFileLeavesNoTemporaryFile) {
  enum class End {
    streamEnds,
    platformFails,
    plaintextDisconnection,
    encryptedDisconnection,
    sharingCancel,
    closeCalled,
    badFrame
  };
  for (End end : {End::streamEnds, End::platformFails, End::plaintextDisconnection, End::encryptedDisconnection,
                  End::sharingCancel, End::closeCalled, End::badFrame}) {
    SCOPED_TRACE(static_cast<int>(end));
    SetUp();
    TestFile file{"half.bin", patterned(1'100'000, 5), 3};
    reachPendingAcceptance({file});
    acceptOffer();
    run();
    push(sender_.fileChunk(file.payloadId, 0, ByteView(file.contents).first(TestSender::kChunkSize), false));
    ASSERT_EQ(downloadEntries().size(), 1u);

    bool failure = false;
    switch (end) {
      case End::streamEnds: connection_->endStream(); break;
      case End::platformFails:
        connection_->fail(std::make_error_code(std::errc::connection_reset));
        failure = true;
        break;
      case End::plaintextDisconnection: connection_->push(test::framed(TestSender::disconnection())); break;
      case End::encryptedDisconnection:
        connection_->push(test::framed(sender_.encrypt(TestSender::frameOfType(connections::V1Frame::DISCONNECTION))));
        break;
      case End::sharingCancel:
        for (const auto& body : sender_.cancel()) connection_->push(test::framed(body));
        break;
      case End::closeCalled: inbound_->close(); break;
      case End::badFrame:
        connection_->push(test::framed(Bytes(60, 0x42)));  // no valid envelope
        failure = true;
        break;
    }
    run();
    EXPECT_TRUE(downloadEntries().empty());
    EXPECT_EQ(delegate_->failures.size(), failure ? 1u : 0u) << failureText();
    EXPECT_EQ(delegate_->closes, end == End::platformFails ? 0 : 1);
    EXPECT_FALSE(connection_->hasPendingReceive());
    EXPECT_EQ(std::count(connection_->events.begin(), connection_->events.end(), "receiveAfterCancel"), 0);
    EXPECT_LE(connection_->cancelCount(), 1);
  }
}

TEST_F(InboundConnectionTest, SendErrorFailsTheConnection) {
  push(sender_.connectionRequest());
  connection_->sendError = std::make_error_code(std::errc::broken_pipe);
  push(sender_.clientInit());
  EXPECT_TRUE(failedWith(std::make_error_code(std::errc::broken_pipe))) << failureText();
}

// The owner may let the connection go before the platform reports it ready
// (a decline during the handshake): it still runs until the sender ends it.
TEST_F(InboundConnectionTest, AConnectionLetGoBeforeItIsReadyStillRunsTheHandshake) {
  endConnection();
  connection_ = std::make_shared<test::MemoryConnection>();
  auto inbound = InboundConnection::create(connection_, Uuid::random(), queue_);
  inbound->setDelegate(delegate_);
  inbound->start();
  std::weak_ptr<InboundConnection> watch = inbound;
  inbound.reset();
  run();
  connection_->becomeReady();
  push(sender_.connectionRequest());
  push(sender_.clientInit());
  EXPECT_EQ(connection_->takeSentFrames().size(), 1u) << "the SERVER_INIT";
  ASSERT_FALSE(watch.expired());
  EXPECT_EQ(watch.lock()->state(), InboundConnection::State::awaitingUkey2ClientFinish);
  EXPECT_FALSE(connection_->isCancelled());
}

TEST_F(InboundConnectionTest, CloseFromAnotherThreadRunsOnTheQueue) {
  std::thread([this] { inbound_->close(); }).join();
  EXPECT_FALSE(connection_->isCancelled());
  run();
  EXPECT_TRUE(connection_->isCancelled());
  EXPECT_EQ(delegate_->closes, 1);
  EXPECT_TRUE(delegate_->failures.empty());
}

}  // namespace
}  // namespace orvel
