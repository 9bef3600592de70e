// Takes one connection through the handshake with the test sender, then lets
// the input choose what the sender and the user do: encrypted frames of any
// content, Sharing payloads, introductions, file chunks, raw bytes on the
// stream, accept, decline and every way of ending. Whatever happens, nothing
// may crash, and no temporary file may outlive the connection.
//
// The receiver's key and random fields are fixed, so it answers the same
// CLIENT_INIT alike every time: the sender's side of the exchange is run once,
// and each input replays its messages instead of a fresh key exchange.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>

#include "network/CryptoHandler.h"
#include "network/InboundConnection.h"
#include "platform/Log.h"

// Fuzz targets link only the engine; the test doubles come in as source.
#include "../tests/support/ManualQueue.cpp"
#include "../tests/support/MemoryConnection.cpp"
#include "../tests/support/TestSender.cpp"
#include "../tests/support/TestSupport.cpp"
#include "../tests/support/Ukey2Initiator.cpp"

namespace {

using namespace orvel;

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data, size) {}
  bool isEmpty() const { return position_ >= data_.size(); }
  std::uint8_t byte() { return isEmpty() ? 0 : data_[position_++]; }
  std::uint16_t number() { return static_cast<std::uint16_t>(byte() << 8 | byte()); }
  ByteView bytes(std::size_t count) {
    count = std::min(count, data_.size() - std::min(position_, data_.size()));
    ByteView taken = data_.subspan(position_, count);
    position_ += count;
    return taken;
  }
  // A short file name of letters, dots and slashes.
  std::string name() {
    static constexpr char letters[] = "ab./";
    std::string text;
    for (std::size_t length = byte() % 8; length > 0; --length) text += letters[byte() % 4];
    return text;
  }

 private:
  ByteView data_;
  std::size_t position_ = 0;
};

class QuietDelegate final : public InboundConnectionDelegate {
 public:
  // The last two offers: the user may answer one that was replaced.
  std::uint64_t offer = 0, offerBefore = 0;

 private:
  void connectionDidReceiveTransferRequest(InboundConnection&, const TransferRequest& request) override {
    offerBefore = std::exchange(offer, request.offerNumber);
  }
  void connectionDidCompleteTransfer(InboundConnection&, const TransferSession&) override {}
  void connectionDidFail(InboundConnection&, const EngineError&) override {}
  void connectionDidClose(InboundConnection&) override {}
};

struct Downloads {
  Downloads() { home.writeDownloadPath(folder.path()); }
  test::ScopedHome home;
  test::TemporaryDirectory folder;
};

CryptoHandler::Entropy fixedEntropy() {
  return {[] { return P256PrivateKey::fromScalar(Bytes(32, 0x07)); },
          [](std::size_t length) { return Bytes(length, 0x5a); }};
}

// The sender after one exchange with a receiver of fixed entropy, and the
// exchange's messages, which every later receiver answers alike.
struct EstablishedSender {
  EstablishedSender() : clientInit(sender.clientInit()) {
    CryptoHandler receiver(fixedEntropy());
    clientFinish = sender.clientFinish(receiver.processHandshakeMessage(clientInit).reply);
  }
  test::TestSender sender;
  Bytes clientInit;
  Bytes clientFinish;
};

void expectNoTemporaryFile(const std::filesystem::path& folder) {
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().filename().string().starts_with(".orvel-")) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Downloads downloads;
  static EstablishedSender established;
  LogCapture quiet;
  Input input(data, size);

  auto queue = std::make_shared<test::ManualQueue>();
  auto connection = std::make_shared<test::MemoryConnection>();
  auto delegate = std::make_shared<QuietDelegate>();
  auto inbound =
      InboundConnection::create(connection, Uuid::random(), queue, std::make_unique<CryptoHandler>(fixedEntropy()));
  inbound->setDelegate(delegate);
  inbound->start();
  connection->becomeReady();
  auto push = [&](ByteView body) {
    connection->push(test::framed(body));
    queue->drain();
  };
  auto pushAll = [&](const std::vector<Bytes>& bodies) {
    for (const auto& body : bodies) push(body);
  };

  test::TestSender& sender = established.sender;
  sender.restartSequenceNumbers();
  queue->drain();
  push(sender.connectionRequest());
  push(established.clientInit);
  push(established.clientFinish);
  push(sender.connectionResponse());
  // The replayed exchange must open the channel, or the inputs would fuzz nothing past it.
  if (inbound->state() != InboundConnection::State::awaitingPairedKeyExchange) std::abort();

  while (!input.isEmpty() && !connection->isCancelled()) {
    switch (input.byte() % 10) {
      case 0: push(sender.encryptBytes(input.bytes(input.number() % 2048))); break;
      case 1: pushAll(sender.bytesPayload(input.bytes(input.number() % 2048))); break;
      case 2: pushAll(input.byte() % 2 ? sender.pairedKeyEncryption() : sender.pairedKeyResult()); break;
      case 3: {
        std::vector<test::TestFile> files;
        for (int count = input.byte() % 4; count > 0; --count) {
          files.push_back({input.name(), Bytes(input.byte()), input.byte() % 4});
        }
        pushAll(sender.introduction(files));
        break;
      }
      case 4: {
        std::int64_t payloadId = input.byte() % 4;
        std::int64_t offset = static_cast<std::int16_t>(input.number());
        ByteView body = input.bytes(input.byte());
        push(sender.fileChunk(payloadId, offset, body, input.byte() % 2));
        break;
      }
      case 5:
        connection->push(input.bytes(input.byte() % 16));
        queue->drain();
        break;
      case 6: push(input.byte() % 2 ? test::TestSender::keepAlive() : test::TestSender::disconnection()); break;
      case 7:
        inbound->acceptTransfer(input.byte() % 4 ? delegate->offer : delegate->offerBefore);
        queue->drain();
        break;
      case 8:
        inbound->declineTransfer(input.byte() % 4 ? delegate->offer : delegate->offerBefore);
        queue->drain();
        connection->releaseSends();
        queue->drain();
        break;
      case 9:
        switch (input.byte() % 3) {
          case 0: connection->endStream(); break;
          case 1: connection->fail(std::make_error_code(std::errc::connection_reset)); break;
          case 2: inbound->close(); break;
        }
        queue->drain();
        expectNoTemporaryFile(downloads.folder.path());
        break;
    }
    if (inbound->state() == InboundConnection::State::failed || connection->isCancelled()) {
      expectNoTemporaryFile(downloads.folder.path());
    }
  }
  inbound->close();
  queue->drain();
  inbound.reset();

  expectNoTemporaryFile(downloads.folder.path());
  for (const auto& entry : std::filesystem::directory_iterator(downloads.folder.path())) {
    std::filesystem::remove_all(entry.path());
  }
  return 0;
}
