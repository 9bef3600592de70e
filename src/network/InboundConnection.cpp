#include "network/InboundConnection.h"

#include <algorithm>
#include <functional>
#include <limits>
#include <utility>

#include "network/CryptoHandler.h"
#include "network/HandshakeResult.h"
#include "network/HeldBytesBudget.h"
#include "offline_wire_formats.pb.h"
#include "platform/Log.h"
#include "protocol/FrameEvent.h"
#include "protocol/FrameProcessor.h"
#include "protocol/MessageCodec.h"

namespace orvel {

namespace connections = location::nearby::connections;

namespace {

constexpr std::size_t kLengthPrefixSize = 4;
constexpr std::uint32_t kMaximumFrameLength = 4'999'999;
// Before the encrypted channel anyone may send, and the handshake's frames
// take a few hundred bytes: a larger one is refused before any room is made.
constexpr std::uint32_t kMaximumHandshakeFrameLength = 32 * 1024;
// A plaintext control frame a sender may slip into the encrypted phase is a
// few bytes long; any real encrypted envelope is longer than this.
constexpr std::size_t kPlaintextProbeMinimum = 2;
constexpr std::size_t kPlaintextProbeMaximum = 49;
constexpr std::size_t kLoggedPrefixLength = 50;
// What a connection may hold in frames and gathered BYTES before the user
// accepts without drawing on the shared budget: the handshake and an offer
// of a few hundred files fit in it.
constexpr std::int64_t kHeldBytesAllowance = 64 * 1024;
// Once a connection is done, what still arrives is read in pieces of at most this much and dropped.
constexpr std::size_t kDiscardedReadSize = 64 * 1024;

void log(const std::string& text) { Log::write("[InboundConnection] " + text); }

std::string bytesText(std::size_t length) { return "(" + std::to_string(length) + " bytes)"; }

}  // namespace

std::shared_ptr<InboundConnection> InboundConnection::create(std::shared_ptr<Connection> connection, Uuid sessionId,
                                                             std::shared_ptr<SerialQueue> queue) {
  return create(std::move(connection), sessionId, std::move(queue), std::make_unique<CryptoHandler>());
}

std::shared_ptr<InboundConnection> InboundConnection::create(std::shared_ptr<Connection> connection, Uuid sessionId,
                                                             std::shared_ptr<SerialQueue> queue,
                                                             std::unique_ptr<CryptoHandler> cryptoHandler) {
  return std::make_shared<InboundConnection>(Private{}, std::move(connection), sessionId, std::move(queue),
                                             std::move(cryptoHandler));
}

InboundConnection::InboundConnection(Private, std::shared_ptr<Connection> connection, Uuid sessionId,
                                     std::shared_ptr<SerialQueue> queue, std::unique_ptr<CryptoHandler> cryptoHandler)
    : sessionId_(sessionId),
      connection_(std::move(connection)),
      queue_(std::move(queue)),
      cryptoHandler_(std::move(cryptoHandler)),
      frameProcessor_(std::make_unique<FrameProcessor>()) {
  watchHeldBytes();
}

// An offer's list is charged as it is read, before its room is taken.
void InboundConnection::watchHeldBytes() {
  frameProcessor_->setHoldCheck([this] { return holdUnaccepted(frameBeingHandled_); });
}

// The offer, destroyed after, releases what it stored before the answer, and
// its writers delete whatever temporary file is left.
InboundConnection::~InboundConnection() {
  if (heldBytesBudget_) heldBytesBudget_->release(chargedBytes_);
}

void InboundConnection::setDelegate(std::weak_ptr<InboundConnectionDelegate> delegate) {
  delegate_ = std::move(delegate);
}

void InboundConnection::setHeldBytesBudget(std::shared_ptr<HeldBytesBudget> budget) {
  heldBytesBudget_ = std::move(budget);
}

void InboundConnection::setStoredBeforeAnswerBudget(std::shared_ptr<StoredBeforeAnswerBudget> budget) {
  offer_.setStoredBeforeAnswerBudget(std::move(budget));
}

// Until the platform reports the connection ready, and the first read holds
// it, the connection holds itself: an owner that lets it go in between (a
// decline during the handshake) must not end it.
void InboundConnection::start() {
  startingSelf_ = shared_from_this();
  connection_->setStateUpdateHandler([weakSelf = weak_from_this()](Connection::State state, std::error_code error) {
    if (auto self = weakSelf.lock()) self->handleConnectionState(state, error);
  });
  connection_->start(queue_);
}

template <class Work>
void InboundConnection::onQueue(Work work) {
  // Held strongly: the owner may drop the connection right after asking it
  // to close or decline, and the request must still be carried out.
  queue_->async([self = shared_from_this(), work = std::move(work)] { std::invoke(work, *self); });
}

void InboundConnection::close() { onQueue(&InboundConnection::closeOnQueue); }
void InboundConnection::cut(std::string why) {
  onQueue([why = std::move(why)](InboundConnection& self) {
    self.noteCut(why);
    self.closeOnQueue();
  });
}
void InboundConnection::acceptTransfer(std::uint64_t offerNumber) {
  onQueue([offerNumber](InboundConnection& self) { self.acceptOnQueue(offerNumber); });
}
void InboundConnection::declineTransfer(std::uint64_t offerNumber) {
  onQueue([offerNumber](InboundConnection& self) { self.declineOnQueue(offerNumber); });
}

std::optional<std::string> InboundConnection::senderName() const { return senderName_; }

std::optional<UnsavedFile> InboundConnection::unsavedFile() const { return offer_.unsavedFile(); }

std::optional<std::string> InboundConnection::takeCutBeforeQuestion() { return std::exchange(cutBeforeQuestion_, {}); }

// Platform states and reading.

// Called through a handler that holds the connection while it runs.
void InboundConnection::handleConnectionState(Connection::State platformState, std::error_code error) {
  switch (platformState) {
    case Connection::State::ready:
      if (ended_ || state() != State::connecting) break;  // reading starts once
      setState(State::awaitingConnectionRequest);
      receiveFrame();
      break;
    case Connection::State::failed:
      if (ended_) break;  // already ended and reported
      ended_ = true;
      cancelled_ = true;  // nothing more can be read from it
      setState(State::failed);
      releaseHeld();
      if (auto delegate = delegate_.lock()) delegate->connectionDidFail(*this, EngineError(error));
      break;
    case Connection::State::cancelled:
      ended_ = true;
      cancelled_ = true;
      releaseHeld();  // no temporary file outlives the connection, whoever ended it
      if (auto delegate = delegate_.lock()) delegate->connectionDidClose(*this);
      break;
    case Connection::State::setup:
    case Connection::State::preparing:
    case Connection::State::waiting: return;
  }
  startingSelf_.reset();  // the outstanding read holds the connection now, or it has ended
}

// The outstanding read holds the connection: once the owner has let it go
// (after completion, or a decline outside the question) it lives on until the
// sender closes the stream or the connection is cancelled.
void InboundConnection::receiveFrame() {
  connection_->receive(
      kLengthPrefixSize, kLengthPrefixSize,
      [self = shared_from_this()](std::optional<Bytes> content, bool isComplete, std::error_code error) {
        if (self->ended_) return self->discardReceived(isComplete, error);
        if (error) {
          self->handleError(error);
        } else if (content && content->size() == kLengthPrefixSize) {
          std::uint32_t length = fromBigEndian32(*content);
          if (length - 1u > kMaximumFrameLength - 1u) {  // 0 wraps around
            self->handleError(ConnectionError::transferFailed);
          } else if (self->isInHandshake() && length > kMaximumHandshakeFrameLength) {
            log("Frame of " + std::to_string(length) + " bytes before the encrypted channel, more than the limit of " +
                std::to_string(kMaximumHandshakeFrameLength));
            self->handleError(ConnectionError::transferFailed);
          } else if (!self->holdUnaccepted(length)) {
            self->handleError(ConnectionError::transferFailed);
          } else if (self->state() == State::completed) {
            self->skipFrameBody(length);
          } else {
            self->receiveFrameBody(length);
          }
        } else if (isComplete) {
          self->endOfStream();
        } else {
          // The platform promises a short read only at the end of the stream;
          // anything else would leave the connection waiting for ever.
          self->handleError(ConnectionError::transferFailed);
        }
      });
}

void InboundConnection::receiveFrameBody(std::uint32_t length) {
  bodyBeingRead_ = length;
  connection_->receive(
      length, length,
      [self = shared_from_this(), length](std::optional<Bytes> content, bool isComplete, std::error_code error) {
        self->bodyBeingRead_ = 0;
        if (self->ended_) {
          self->releaseCharge(0);
          return self->discardReceived(isComplete, error);
        }
        if (error) {
          self->handleError(error);
        } else if (!content || content->size() != length) {
          self->handleError(ConnectionError::transferFailed);
        } else {
          self->frameBeingHandled_ = length;
          self->processFrame(std::move(*content));
          self->frameBeingHandled_ = 0;
          if (!self->ended_ && !self->holdUnaccepted(0)) self->handleError(ConnectionError::transferFailed);
          if (!self->ended_) self->receiveFrame();
        }
      });
}

// A completed connection holds only its socket: a frame its sender still
// sends is read in pieces and dropped, as a whole frame would be.
void InboundConnection::skipFrameBody(std::uint32_t left) {
  connection_->receive(
      1, std::min<std::size_t>(left, kDiscardedReadSize),
      [self = shared_from_this(), left](std::optional<Bytes> content, bool isComplete, std::error_code error) {
        if (self->ended_) return self->discardReceived(isComplete, error);
        if (error) return self->handleError(error);
        const std::size_t read = content ? content->size() : 0;
        if (read < left) {
          if (isComplete || read == 0) return self->handleError(ConnectionError::transferFailed);
          return self->skipFrameBody(left - static_cast<std::uint32_t>(read));
        }
        log(std::string("Unexpected frame in state: ") + toString(self->state()));
        self->receiveFrame();
      });
}

bool InboundConnection::isInHandshake() const {
  switch (state()) {
    case State::awaitingConnectionRequest:
    case State::awaitingUkey2ClientInit:
    case State::awaitingUkey2ClientFinish:
    case State::awaitingConnectionResponse: return true;
    default: return false;
  }
}

// Until the user accepts, the frame being read, the BYTES gathered so far and
// the offer's file list are charged to the budget all such connections share,
// past a small allowance each; once accepted, the connection holds what its
// own bounds let it.
bool InboundConnection::holdUnaccepted(std::uint32_t frameLength) {
  if (!heldBytesBudget_) return true;
  std::int64_t held = 0;
  if (!offer_.isAccepted()) {
    held = std::int64_t{frameLength} + frameProcessor_->heldBytes() +
           static_cast<std::int64_t>(offer_.files().heldBytes());
  }
  std::int64_t charge = std::max<std::int64_t>(0, held - kHeldBytesAllowance);
  if (charge > chargedBytes_ && !heldBytesBudget_->tryCharge(charge - chargedBytes_)) {
    log("Connections not yet accepted hold too much: " + std::to_string(held) + " more bytes refused");
    noteCut("connections not yet accepted hold too much");
    return false;
  }
  if (charge < chargedBytes_) heldBytesBudget_->release(chargedBytes_ - charge);
  chargedBytes_ = charge;
  return true;
}

// The sender closed its side between two frames: nothing is reported as a
// failure, but no unfinished file may stay behind. The owner hears of the
// close once what was sent has left, or the linger has passed.
void InboundConnection::endOfStream() { endAfterSends(); }

// Plaintext handshake.

void InboundConnection::processFrame(Bytes body) {
  catchEngineErrors(
      [&] {
        switch (state()) {
          case State::awaitingConnectionRequest: return processConnectionRequest(body);
          case State::awaitingUkey2ClientInit: return processUkey2ClientInit(body);
          case State::awaitingUkey2ClientFinish: return processUkey2ClientFinish(body);
          case State::awaitingConnectionResponse: return processConnectionResponse(body);
          case State::awaitingPairedKeyExchange:
          case State::awaitingIntroduction:
          case State::pendingAcceptance:
          case State::transferring: return processEncryptedFrame(std::move(body));
          case State::connecting:
          case State::completed:
          case State::failed: return log(std::string("Unexpected frame in state: ") + toString(state()));
        }
      },
      [this](const EngineError& error) { handleError(error); });
}

void InboundConnection::processConnectionRequest(ByteView body) {
  log("Processing CONNECTION_REQUEST " + bytesText(body.size()));
  auto frame = MessageCodec::parse<connections::OfflineFrame>(body);
  if (frame.version() != connections::OfflineFrame::V1) {
    log("Invalid OfflineFrame version: " + MessageCodec::displayName(frame.version()));
    throw ConnectionError::handshakeFailed;
  }
  if (frame.v1().type() != connections::V1Frame::CONNECTION_REQUEST) {
    log("Expected CONNECTION_REQUEST, got: " + MessageCodec::displayName(frame.v1().type()));
    throw ConnectionError::handshakeFailed;
  }
  const auto& request = frame.v1().connection_request();
  endpointId_ = request.endpoint_id();
  senderName_ = request.endpoint_name();
  log("CONNECTION_REQUEST from endpoint: " + *endpointId_ + ", name: " + *senderName_);
  setState(State::awaitingUkey2ClientInit);
}

void InboundConnection::processUkey2ClientInit(ByteView body) {
  log("Processing UKEY2 CLIENT_INIT " + bytesText(body.size()));
  HandshakeResult result = cryptoHandler_->processHandshakeMessage(body);
  switch (result.kind) {
    case HandshakeResult::Kind::sendToPeer:
      sendFrame(result.reply);
      setState(State::awaitingUkey2ClientFinish);
      return;
    case HandshakeResult::Kind::handshakeComplete:
      log("Unexpected handshake complete on CLIENT_INIT");
      throw ConnectionError::handshakeFailed;
    case HandshakeResult::Kind::noAction: return;
  }
}

void InboundConnection::processUkey2ClientFinish(ByteView body) {
  log("Processing UKEY2 CLIENT_FINISH " + bytesText(body.size()));
  HandshakeResult result = cryptoHandler_->processHandshakeMessage(body);
  switch (result.kind) {
    case HandshakeResult::Kind::handshakeComplete:
      verificationPin_ = result.pin;
      setState(State::awaitingConnectionResponse);
      log("UKEY2 handshake complete, PIN: " + verificationPin_ + ", awaiting CONNECTION_RESPONSE");
      return;
    case HandshakeResult::Kind::sendToPeer:
      log("Unexpected SERVER_INIT response on CLIENT_FINISH");
      throw ConnectionError::handshakeFailed;
    case HandshakeResult::Kind::noAction: return;
  }
}

void InboundConnection::processConnectionResponse(ByteView body) {
  log("Processing plaintext CONNECTION_RESPONSE " + bytesText(body.size()));
  log("CONNECTION_RESPONSE hex: " + hexString(body));
  auto frame = MessageCodec::parse<connections::OfflineFrame>(body);
  if (frame.version() != connections::OfflineFrame::V1) {
    log("Invalid OfflineFrame version: " + MessageCodec::displayName(frame.version()));
    throw ConnectionError::handshakeFailed;
  }
  if (frame.v1().type() != connections::V1Frame::CONNECTION_RESPONSE) {
    log("Expected CONNECTION_RESPONSE, got: " + MessageCodec::displayName(frame.v1().type()));
    throw ConnectionError::handshakeFailed;
  }
  const auto& response = frame.v1().connection_response();
  // The sender's own answer is only logged: a REJECT goes on like an ACCEPT.
  log("Client CONNECTION_RESPONSE - status (deprecated): " + std::to_string(response.status()) +
      ", response: " + MessageCodec::displayName(response.response()));
  sendPlaintextConnectionResponse();
  setState(State::awaitingPairedKeyExchange);
  log("Sent CONNECTION_RESPONSE, entering encrypted paired key exchange");
  sendPairedKeyEncryption();
}

void InboundConnection::sendPlaintextConnectionResponse() {
  connections::OfflineFrame frame;
  frame.set_version(connections::OfflineFrame::V1);
  auto* v1 = frame.mutable_v1();
  v1->set_type(connections::V1Frame::CONNECTION_RESPONSE);
  auto* response = v1->mutable_connection_response();
  response->set_status(0);
  response->set_response(connections::ConnectionResponseFrame::ACCEPT);
  response->mutable_os_info()->set_type(connections::OsInfo::APPLE);
  Bytes bytes;
  try {
    bytes = MessageCodec::serialize(frame);
  } catch (MessageError error) {
    log("Failed to serialize CONNECTION_RESPONSE: " + std::string(toString(error)));
    return;
  }
  log("Sending plaintext CONNECTION_RESPONSE " + bytesText(bytes.size()) +
      " with response=ACCEPT, status=0, osInfo=APPLE");
  log("CONNECTION_RESPONSE hex: " + hexString(bytes));
  sendFrame(bytes);
}

// Encrypted phase.

void InboundConnection::processEncryptedFrame(Bytes body) {
  log("Processing frame " + bytesText(body.size()) + " in encrypted mode");
  log("Frame hex prefix: " + hexPrefix(body, kLoggedPrefixLength));
  if (processPlaintextControlFrame(body)) return;

  DecryptedMessage decrypted = cryptoHandler_->decryptInPlace(std::move(body));
  log("Decrypted frame " + bytesText(decrypted.message.size()));
  log("Decrypted hex prefix: " + hexPrefix(decrypted.message, kLoggedPrefixLength));
  // Each frame must carry the next number: a replayed, reordered or dropped
  // frame ends the connection.
  std::int64_t expected = std::int64_t{receiveSequenceNumber_} + 1;
  if (decrypted.sequenceNumber != expected) {
    log("Unexpected sequence number: " + std::to_string(decrypted.sequenceNumber) + ", expected " +
        std::to_string(expected));
    throw CryptoError::invalidMessage;
  }
  receiveSequenceNumber_ = decrypted.sequenceNumber;
  try {
    frameProcessor_->processFrame(decrypted.message, [this](const FrameEvent& event) { handleFrameEvent(event); });
  } catch (ConnectionError) {
    // The bounds on BYTES payloads end it so; the one a phone meets is its
    // offer's, a list of files past 2 MiB. A refused hold said why already.
    noteCut(frameProcessor_->boundMet() == FrameProcessor::Bound::payloadSize
                ? "its offer is larger than 2 MiB (about 20,000 files)"
                : "it left too many of its messages unfinished");
    throw;
  }
}

// A sender may send KEEP_ALIVE and DISCONNECTION in plaintext even here.
bool InboundConnection::processPlaintextControlFrame(ByteView body) {
  if (body.size() < kPlaintextProbeMinimum || body.size() > kPlaintextProbeMaximum) return false;
  connections::OfflineFrame frame;
  try {
    frame = MessageCodec::parse<connections::OfflineFrame>(body);
  } catch (MessageError) {
    return false;
  }
  auto type = frame.v1().type();
  if (frame.version() != connections::OfflineFrame::V1 ||
      (type != connections::V1Frame::KEEP_ALIVE && type != connections::V1Frame::DISCONNECTION)) {
    return false;
  }
  log("Detected plaintext " + MessageCodec::displayName(type) + " frame");
  frameProcessor_->processFrame(body, [this](const FrameEvent& event) { handleFrameEvent(event); });
  return true;
}

void InboundConnection::handleFrameEvent(const FrameEvent& event) {
  std::visit(Overloaded{
                 [this](const FrameEvent::Introduction& introduction) {
                   handleIntroduction(introduction.senderName, introduction.files, introduction.announcedFiles);
                 },
                 [this](const FrameEvent::PayloadChunk& chunk) {
                   handlePayloadChunk(chunk.payloadId, chunk.offset, chunk.data, chunk.isLast);
                 },
                 [this](const FrameEvent::PairedKeyEncryption&) { handlePairedKeyFrame(true); },
                 [this](const FrameEvent::PairedKeyResult&) { handlePairedKeyFrame(false); },
                 [this](const FrameEvent::KeepAlive&) {
                   log("Sending KEEP_ALIVE");
                   sendEncryptedFrame(frameProcessor_->buildKeepAlive());
                 },
                 [this](const FrameEvent::Disconnect&) {
                   log("Received DISCONNECT");
                   closeOnQueue();
                 },
             },
             event.value);
}

void InboundConnection::handleIntroduction(const std::string& announcedName, const FileList& files,
                                           std::size_t announcedFiles) {
  log("Received INTRODUCTION with " + std::to_string(announcedFiles) + " files");
  if (!offer_.replace(files, state() == State::pendingAcceptance)) {
    return handleError(ConnectionError::transferFailed);
  }
  // The INTRODUCTION carries no name of its own; the one from the
  // CONNECTION_REQUEST is the sender's real name.
  if (!senderName_ || senderName_->empty()) senderName_ = announcedName;
  // The list stays until the answer, however long that takes: it is charged
  // before the question is put, so that one that does not fit is never asked.
  if (!holdUnaccepted(0)) return handleError(ConnectionError::transferFailed);
  setState(State::pendingAcceptance);
  TransferRequest request{sessionId_, *senderName_, offer_.files(), verificationPin_, offer_.number()};
  if (auto delegate = delegate_.lock()) delegate->connectionDidReceiveTransferRequest(*this, request);
}

void InboundConnection::handlePairedKeyFrame(bool isEncryptionFrame) {
  if (isEncryptionFrame) {
    log("Received PAIRED_KEY_ENCRYPTION from client");
    receivedPairedKeyEncryption_ = true;
    sendPairedKeyResult();
    if (ended_) return;
  } else {
    log("Received PAIRED_KEY_RESULT from client");
    receivedPairedKeyResult_ = true;
  }
  if (receivedPairedKeyEncryption_ && receivedPairedKeyResult_) {
    log("Paired key exchange complete, awaiting INTRODUCTION");
    setState(State::awaitingIntroduction);
  }
}

void InboundConnection::handlePayloadChunk(std::int64_t payloadId, std::int64_t offset, ByteView data, bool isLast) {
  catchEngineErrors(
      [&] {
        offer_.onDrive(payloadId, [&] {
          if (offer_.writeChunk(payloadId, offset, data, isLast)) completeTransfer();
        });
      },
      [this](const EngineError& error) { handleError(error); });
}

void InboundConnection::completeTransfer() {
  frameProcessor_->dropGathered();  // nothing more is gathered: later frames are dropped unread
  sendCompletionAck();
  TransferSession session{sessionId_, senderName_.value_or("Unknown"), offer_.files(), verificationPin_,
                          TransferState::completed};
  setState(State::completed);
  if (auto delegate = delegate_.lock()) delegate->connectionDidCompleteTransfer(*this, session);
}

// Sending.

void InboundConnection::sendFrame(ByteView body, Connection::SendCompletion afterSend) {
  const auto prefix = bigEndian32(static_cast<std::uint32_t>(body.size()));
  Bytes framed;
  framed.reserve(kLengthPrefixSize + body.size());
  framed.insert(framed.end(), prefix.begin(), prefix.end());
  framed.insert(framed.end(), body.begin(), body.end());
  // The platform connection closes when its last holder drops it; this object
  // may go while bytes are on their way (the stream ended after the last
  // read), so the completion holds the platform connection until they left.
  connection_->send(std::move(framed), [weakSelf = weak_from_this(), connection = connection_,
                                        afterSend = std::move(afterSend)](std::error_code error) {
    if (error) {
      if (auto self = weakSelf.lock()) self->handleError(error);
    }
    if (afterSend) afterSend(error);
  });
}

// Returns whether the frame went to the platform.
bool InboundConnection::sendEncryptedFrame(ByteView plaintext, Connection::SendCompletion afterSend) {
  if (ended_) return false;
  if (sendSequenceNumber_ == std::numeric_limits<std::int32_t>::max()) {
    handleError(ConnectionError::encryptionFailed);
    return false;
  }
  ++sendSequenceNumber_;
  log("Encrypting frame " + bytesText(plaintext.size()) + " with seq " + std::to_string(sendSequenceNumber_));
  Bytes encrypted;
  bool encryptionFailed = false;
  catchEngineErrors([&] { encrypted = cryptoHandler_->encrypt(plaintext, sendSequenceNumber_); },
                    [&](const EngineError& error) {
                      log("Encryption failed: " + describe(error));
                      encryptionFailed = true;
                      handleError(error);
                    });
  if (encryptionFailed) return false;
  log("Sending encrypted frame " + bytesText(encrypted.size()));
  sendFrame(encrypted, std::move(afterSend));
  return true;
}

// The two frames of one Sharing answer, each encrypted on its own. Returns
// whether both went to the platform (the last one with `afterLastSend`).
bool InboundConnection::sendSharingFrames(const char* name, const std::vector<Bytes>& frames,
                                          Connection::SendCompletion afterLastSend) {
  if (frames.size() != 2) {
    log(std::string("Failed to build ") + name + " frames");
    return false;
  }
  log(std::string(name) + ": sending " + std::to_string(frames.size()) + " frames");
  for (std::size_t index = 0; index < frames.size(); ++index) {
    log(std::string("Sending ") + name + " frame " + std::to_string(index + 1) + " " + bytesText(frames[index].size()));
    bool isLast = index + 1 == frames.size();
    if (!sendEncryptedFrame(frames[index], isLast ? std::move(afterLastSend) : Connection::SendCompletion{})) {
      return false;
    }
  }
  return true;
}

bool InboundConnection::sendConnectionResponse(ConnectionResponseStatus status,
                                               Connection::SendCompletion afterLastSend) {
  return sendSharingFrames("CONNECTION_RESPONSE", frameProcessor_->buildConnectionResponseFrames(status),
                           std::move(afterLastSend));
}

void InboundConnection::sendPairedKeyEncryption() {
  log("Sending PAIRED_KEY_ENCRYPTION");
  sendSharingFrames("PAIRED_KEY_ENCRYPTION", frameProcessor_->buildPairedKeyEncryptionFrames());
}

void InboundConnection::sendPairedKeyResult() {
  log("Sending PAIRED_KEY_RESULT");
  sendSharingFrames("PAIRED_KEY_RESULT", frameProcessor_->buildPairedKeyResultFrames());
}

void InboundConnection::sendCompletionAck() {
  log("Sending disconnection frame to signal completion");
  connections::OfflineFrame frame;
  frame.set_version(connections::OfflineFrame::V1);
  auto* v1 = frame.mutable_v1();
  v1->set_type(connections::V1Frame::DISCONNECTION);
  v1->mutable_disconnection()->set_ack_safe_to_disconnect(true);
  Bytes bytes;
  try {
    bytes = MessageCodec::serialize(frame);
  } catch (MessageError error) {
    log("Failed to serialize disconnection: " + std::string(toString(error)));
    return;
  }
  sendFrame(bytes);  // in plaintext, outside the sequence numbering
  log("Sent disconnection frame " + bytesText(bytes.size()));
}

// Decision and ending.

// An answer given to an earlier offer would apply to files the user never
// saw, even when they look the same.
bool InboundConnection::answersCurrentOffer(std::uint64_t offerNumber) const {
  if (ended_ || state() != State::pendingAcceptance) return false;
  if (offerNumber == offer_.number()) return true;
  log("Answer ignored: it was given to offer " + std::to_string(offerNumber) + ", and the sender has made offer " +
      std::to_string(offer_.number()) + " since");
  return false;
}

void InboundConnection::acceptOnQueue(std::uint64_t offerNumber) {
  if (!answersCurrentOffer(offerNumber)) return;
  setState(State::transferring);
  offer_.accept();
  releaseCharge(bodyBeingRead_);  // the connection now holds what its own bounds allow
  sendConnectionResponse(ConnectionResponseStatus::accept);
  catchEngineErrors(
      [this] {
        for (auto payloadId : offer_.takeFilesAwaitingConsent()) {
          if (ended_ || state() == State::completed) return;
          offer_.onDrive(payloadId, [&] {
            if (offer_.finishFile(payloadId)) completeTransfer();
          });
        }
      },
      [this](const EngineError& error) { handleError(error); });
}

void InboundConnection::declineOnQueue(std::uint64_t offerNumber) {
  if (!answersCurrentOffer(offerNumber)) return;
  if (!sendConnectionResponse(ConnectionResponseStatus::reject)) return closeOnQueue();
  endAfterSends();
}

// Also after a decline whose REJECT has not left yet: a close does not wait for it.
void InboundConnection::closeOnQueue() {
  ended_ = true;
  if (!cancelled_) {
    cancelled_ = true;
    connection_->cancel();
  }
  offer_.cleanupWriters();
}

// Done without a failure (declined, or the sender closed its side): what the
// connection held goes now, and its socket once its last frame has left or
// the linger has passed, whatever the sender does meanwhile.
void InboundConnection::endAfterSends() {
  ended_ = true;
  releaseHeld();
  connection_->cancelAfterSends(linger_);
}

// Until it is cancelled an ended connection still reads, and drops what it
// reads, so that it sees its sender close (and the sender's bytes do not pile
// up in the socket); a reset ends it at once.
void InboundConnection::discardReceived(bool isComplete, std::error_code error) {
  if (cancelled_) return;
  if (error) return closeOnQueue();
  if (isComplete) return;  // the cancel after the sends follows
  connection_->receive(1, kDiscardedReadSize,
                       [self = shared_from_this()](std::optional<Bytes>, bool ended, std::error_code failure) {
                         self->discardReceived(ended, failure);
                       });
}

// Outside frame handling only: the frame processor may be the caller. Kept:
// what the owner's reports still read (the sender's name, the unsaved file).
void InboundConnection::releaseHeld() {
  offer_.clear();
  frameProcessor_ = std::make_unique<FrameProcessor>();
  watchHeldBytes();
  releaseCharge(bodyBeingRead_);
}

// Of the charge, only what the frame still being read takes stays.
void InboundConnection::releaseCharge(std::int64_t stillHeld) {
  if (!heldBytesBudget_) return;
  std::int64_t charge = std::min(chargedBytes_, std::max<std::int64_t>(0, stillHeld - kHeldBytesAllowance));
  heldBytesBudget_->release(chargedBytes_ - charge);
  chargedBytes_ = charge;
}

void InboundConnection::handleError(const EngineError& error) {
  if (ended_) return;  // a connection ends once and reports at most one failure
  ended_ = true;
  setState(State::failed);
  offer_.cleanupWriters();
  if (auto delegate = delegate_.lock()) delegate->connectionDidFail(*this, error);
  closeOnQueue();
}

// The user has not heard of a connection before its question: what the
// receiver cut there, once the sender is known, is told of by the owner.
void InboundConnection::noteCut(std::string why) {
  if (ended_ || cutBeforeQuestion_) return;
  if (state() != State::awaitingPairedKeyExchange && state() != State::awaitingIntroduction) return;
  cutBeforeQuestion_ = std::move(why);
}

const char* toString(InboundConnection::State state) {
  switch (state) {
    case InboundConnection::State::connecting: return "connecting";
    case InboundConnection::State::awaitingConnectionRequest: return "awaitingConnectionRequest";
    case InboundConnection::State::awaitingUkey2ClientInit: return "awaitingUkey2ClientInit";
    case InboundConnection::State::awaitingUkey2ClientFinish: return "awaitingUkey2ClientFinish";
    case InboundConnection::State::awaitingConnectionResponse: return "awaitingConnectionResponse";
    case InboundConnection::State::awaitingPairedKeyExchange: return "awaitingPairedKeyExchange";
    case InboundConnection::State::awaitingIntroduction: return "awaitingIntroduction";
    case InboundConnection::State::pendingAcceptance: return "pendingAcceptance";
    case InboundConnection::State::transferring: return "transferring";
    case InboundConnection::State::completed: return "completed";
    case InboundConnection::State::failed: return "failed";
  }
  return "unknown";
}

}  // namespace orvel
