#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "network/EngineError.h"
#include "network/InboundConnectionDelegate.h"
#include "network/IncomingOffer.h"
#include "platform/Connection.h"
#include "platform/SerialQueue.h"
#include "platform/Uuid.h"
#include "protocol/ByteHelpers.h"
#include "protocol/ConnectionResponseStatus.h"
#include "storage/UnsavedFile.h"

namespace orvel {

class CryptoHandler;
class FrameProcessor;
class HeldBytesBudget;
class StoredBeforeAnswerBudget;
struct FrameEvent;

// The receiver's side of one TCP connection from one sender: cuts the stream
// into length-prefixed frames and walks the protocol from the connection
// request to the last written file. Everything runs on the connection's own
// serial queue; the public operations marked below may be called from any thread.
class InboundConnection : public std::enable_shared_from_this<InboundConnection> {
 public:
  enum class State {
    connecting,
    awaitingConnectionRequest,
    awaitingUkey2ClientInit,
    awaitingUkey2ClientFinish,
    awaitingConnectionResponse,
    awaitingPairedKeyExchange,
    awaitingIntroduction,
    pendingAcceptance,
    transferring,
    completed,
    failed,
  };

  static std::shared_ptr<InboundConnection> create(std::shared_ptr<Connection> connection, Uuid sessionId,
                                                   std::shared_ptr<SerialQueue> queue);
  // With a given CryptoHandler: tests give one whose entropy they fixed.
  static std::shared_ptr<InboundConnection> create(std::shared_ptr<Connection> connection, Uuid sessionId,
                                                   std::shared_ptr<SerialQueue> queue,
                                                   std::unique_ptr<CryptoHandler> cryptoHandler);
  ~InboundConnection();
  InboundConnection(const InboundConnection&) = delete;
  InboundConnection& operator=(const InboundConnection&) = delete;

  void setDelegate(std::weak_ptr<InboundConnectionDelegate> delegate);  // before start()
  // Shared with the other connections; none means no bound but each connection's own. Before start().
  void setHeldBytesBudget(std::shared_ptr<HeldBytesBudget> budget);
  // Shared with the other connections; none means only this connection's own bound. Before start().
  void setStoredBeforeAnswerBudget(std::shared_ptr<StoredBeforeAnswerBudget> budget);
  // How long a connection that is done waits for its last frames to leave. Before start().
  void setLinger(std::chrono::steady_clock::duration linger) { linger_ = linger; }
  void start();

  // These four may be called from any thread; they run on the connection's own queue.
  void close();
  // Closes it as close() does; one past its key exchange and not yet at its
  // question keeps `why` for its owner to tell.
  void cut(std::string why);
  // The answer to the offer of that number (TransferRequest::offerNumber);
  // ignored unless it is the offer waiting for an answer.
  void acceptTransfer(std::uint64_t offerNumber);
  // REJECT is sent, then the connection ends once it left or the linger passed, or at close().
  void declineTransfer(std::uint64_t offerNumber);

  const Uuid& sessionId() const { return sessionId_; }
  State state() const { return state_.load(); }   // any thread
  std::optional<std::string> senderName() const;  // on the connection's queue
  // After a failure: the file the drive would not take, if it was that.
  std::optional<UnsavedFile> unsavedFile() const;  // on the connection's queue
  // Why the receiver closed it after its key exchange and before its
  // question, if it did; given once. On the connection's queue.
  std::optional<std::string> takeCutBeforeQuestion();

 private:
  struct Private {};

 public:
  InboundConnection(Private, std::shared_ptr<Connection> connection, Uuid sessionId,
                    std::shared_ptr<SerialQueue> queue, std::unique_ptr<CryptoHandler> cryptoHandler);

 private:
  // Framing and the plaintext handshake.
  void handleConnectionState(Connection::State platformState, std::error_code error);
  void receiveFrame();
  void receiveFrameBody(std::uint32_t length);
  void skipFrameBody(std::uint32_t left);
  bool isInHandshake() const;  // the encrypted channel is not open yet
  bool holdUnaccepted(std::uint32_t frameLength);
  void watchHeldBytes();
  void endOfStream();
  void processFrame(Bytes body);
  void processConnectionRequest(ByteView body);
  void processUkey2ClientInit(ByteView body);
  void processUkey2ClientFinish(ByteView body);
  void processConnectionResponse(ByteView body);
  void sendPlaintextConnectionResponse();

  // The encrypted phase.
  void processEncryptedFrame(Bytes body);
  bool processPlaintextControlFrame(ByteView body);
  void handleFrameEvent(const FrameEvent& event);
  void handleIntroduction(const std::string& announcedName, const FileList& files, std::size_t announcedFiles);
  void handlePairedKeyFrame(bool isEncryptionFrame);
  void handlePayloadChunk(std::int64_t payloadId, std::int64_t offset, ByteView data, bool isLast);
  void completeTransfer();

  // Sending. The completions run after the platform took the bytes.
  void sendFrame(ByteView body, Connection::SendCompletion afterSend = {});
  bool sendEncryptedFrame(ByteView plaintext, Connection::SendCompletion afterSend = {});
  bool sendSharingFrames(const char* name, const std::vector<Bytes>& frames,
                         Connection::SendCompletion afterLastSend = {});
  bool sendConnectionResponse(ConnectionResponseStatus status, Connection::SendCompletion afterLastSend = {});
  void sendPairedKeyEncryption();
  void sendPairedKeyResult();
  void sendCompletionAck();

  // Ending.
  bool answersCurrentOffer(std::uint64_t offerNumber) const;
  void acceptOnQueue(std::uint64_t offerNumber);
  void declineOnQueue(std::uint64_t offerNumber);
  void closeOnQueue();
  void endAfterSends();
  void discardReceived(bool isComplete, std::error_code error);
  void releaseHeld();
  void releaseCharge(std::int64_t stillHeld);
  void handleError(const EngineError& error);
  void noteCut(std::string why);

  void setState(State newState) { state_.store(newState); }
  // Runs `work` on the connection's queue; the connection stays alive until it ran.
  template <class Work>
  void onQueue(Work work);

  const Uuid sessionId_;
  std::weak_ptr<InboundConnectionDelegate> delegate_;
  const std::shared_ptr<Connection> connection_;
  const std::shared_ptr<SerialQueue> queue_;
  std::atomic<State> state_{State::connecting};
  std::optional<std::string> senderName_;
  std::optional<std::string> endpointId_;
  std::optional<std::string> cutBeforeQuestion_;
  const std::unique_ptr<CryptoHandler> cryptoHandler_;
  std::unique_ptr<FrameProcessor> frameProcessor_;  // a fresh one once ended: the gathered bytes go
  IncomingOffer offer_;
  std::int32_t sendSequenceNumber_ = 0;
  std::int32_t receiveSequenceNumber_ = 0;
  std::string verificationPin_;
  bool receivedPairedKeyEncryption_ = false;
  bool receivedPairedKeyResult_ = false;
  bool ended_ = false;             // nothing more is handled or reported as a failure; what arrives is dropped
  bool cancelled_ = false;         // the platform connection is cancelled, or failed
  std::chrono::steady_clock::duration linger_ = std::chrono::seconds(3);
  std::uint32_t bodyBeingRead_ = 0;  // the length of the frame body a read waits for, if any
  std::uint32_t frameBeingHandled_ = 0;  // the length of the frame whose body is being processed, if any
  std::shared_ptr<HeldBytesBudget> heldBytesBudget_;
  std::int64_t chargedBytes_ = 0;  // to heldBytesBudget_
  std::shared_ptr<InboundConnection> startingSelf_;  // from start() until the platform's first report
};

const char* toString(InboundConnection::State state);

}  // namespace orvel
