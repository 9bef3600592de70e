#include "services/ConnectionManager.h"

#include <algorithm>
#include <chrono>
#include <future>
#include <thread>
#include <utility>

#include "network/InboundConnection.h"
#include "platform/Log.h"
#include "platform/MainLoop.h"
#include "platform/StrandQueue.h"
#include "platform/WorkerPool.h"

namespace orvel {
namespace {

constexpr auto closeWaitLimit = std::chrono::seconds(2);

UnansweredConnections::Progress progressOf(InboundConnection::State state) {
  using State = InboundConnection::State;
  switch (state) {
    case State::connecting:
    case State::awaitingConnectionRequest: return UnansweredConnections::Progress::nothingSent;
    case State::awaitingUkey2ClientInit:
    case State::awaitingUkey2ClientFinish:
    case State::awaitingConnectionResponse: return UnansweredConnections::Progress::inKeyExchange;
    default: return UnansweredConnections::Progress::pastKeyExchange;
  }
}

}  // namespace

std::shared_ptr<ConnectionManager> ConnectionManager::create(std::uint16_t firstPort, const ConnectionLimits& limits) {
  return std::make_shared<ConnectionManager>(Private{}, firstPort, limits);
}

ConnectionManager::ConnectionManager(Private, std::uint16_t firstPort, const ConnectionLimits& limits)
    : firstPort_(firstPort),
      limits_(limits),
      unanswered_(limits),
      heldBytesBudget_(std::make_shared<HeldBytesBudget>(limits.mostHeldBytes)),
      storedBeforeAnswerBudget_(std::make_shared<StoredBeforeAnswerBudget>(limits.mostBytesStoredBeforeAnswer,
                                                                           limits.mostFilesStoredBeforeAnswer)),
      queue_(StrandQueue::create("com.orvel.connections")) {}

// A listener left running would keep its port for the life of the process.
ConnectionManager::~ConnectionManager() {
  if (listener_) listener_->cancel();
}

void ConnectionManager::setDelegate(std::weak_ptr<ConnectionManagerDelegate> delegate) {
  delegate_ = std::move(delegate);
}

void ConnectionManager::setOnReady(std::function<void(std::uint16_t)> onReady) { onReady_ = std::move(onReady); }

void ConnectionManager::startListening() {
  Log::write("[ConnectionManager] startListening called");
  std::shared_ptr<TcpListener> listener;
  std::uint16_t port = 0;
  for (std::uint16_t candidate : {firstPort_, std::uint16_t{0}}) {
    port = candidate;
    Log::write("[ConnectionManager] Trying port " + std::to_string(port));
    try {
      listener = TcpListener::create(port);
      break;
    } catch (const std::system_error& error) {
      Log::write("[ConnectionManager] Port " + std::to_string(port) + " failed: " + error.code().message());
      if (port == 0) throw;
    }
  }
  Log::write("[ConnectionManager] Created listener on port " + std::to_string(port));
  listener_ = listener;

  std::weak_ptr<ConnectionManager> weakSelf = shared_from_this();
  std::weak_ptr<TcpListener> weakListener = listener;
  listener->setStateUpdateHandler([weakSelf, weakListener](TcpListener::State state, std::error_code error) {
    auto self = weakSelf.lock();
    if (!self) return;
    std::optional<std::uint16_t> readyPort;
    if (auto reporting = weakListener.lock()) readyPort = reporting->port();
    self->handleListenerState(state, error, readyPort);
  });
  listener->setNewConnectionHandler([weakSelf](std::shared_ptr<Connection> connection) {
    if (auto self = weakSelf.lock()) self->handleNewConnection(std::move(connection));
  });
  Log::write("[ConnectionManager] Starting listener...");
  listener->start(queue_);
}

void ConnectionManager::handleListenerState(TcpListener::State state, std::error_code error,
                                            std::optional<std::uint16_t> port) {
  Log::write(std::string("[ConnectionManager] Listener state: ") + toString(state));
  switch (state) {
    case TcpListener::State::ready:
      if (!port) {
        Log::write("[ConnectionManager] Listener ready but no port available");
        return;
      }
      listeningPort_.store(*port);
      Log::write("[ConnectionManager] Listener ready on port " + std::to_string(*port));
      MainLoop::shared().async([self = shared_from_this(), port = *port] {
        if (self->onReady_) self->onReady_(port);
      });
      return;
    case TcpListener::State::waiting:
      Log::write("[ConnectionManager] Listener waiting: " + error.message());
      return;
    case TcpListener::State::failed:
      Log::write("[ConnectionManager] Listener failed: " + error.message());
      return;
    case TcpListener::State::setup:
      Log::write("[ConnectionManager] Listener setup");
      return;
    case TcpListener::State::cancelled:
      Log::write("[ConnectionManager] Listener cancelled");
      return;
  }
  Log::write("[ConnectionManager] Listener unknown state");
}

// Connections that have not reached the question are bounded in number, per
// sender address and in total, and must keep sending: past a bound a new one
// is closed at once, so its descriptor is back before the next accept.
void ConnectionManager::handleNewConnection(std::shared_ptr<Connection> connection) {
  auto sessionId = Uuid::random();
  auto remote = connection->remoteEndpointDescription();
  const auto now = std::chrono::steady_clock::now();
  auto admission = unanswered_.admit(sessionId, senderAddressOf(remote), [this, now](const Uuid& id) {
    return standingOf(id, now);
  }, now);
  if (!admission.admitted) {
    Log::write("[ConnectionManager] Refused a connection from " + remote + ": " +
               (admission.addressFull ? std::to_string(limits_.mostBeforeQuestionPerAddress) +
                                            " connections from its address have not reached the question"
                                      : "every place before the question is held by a connection that has not "
                                        "sent its first bytes yet"));
    return;  // the socket closes with its last holder
  }
  if (admission.dropped) dropConnection(*admission.dropped, "to make room for a new connection");
  auto queue = StrandQueue::create("com.orvel.connection");
  std::weak_ptr<Connection> socket = connection;
  auto inbound = InboundConnection::create(std::move(connection), sessionId, queue);
  inbound->setDelegate(weak_from_this());
  inbound->setHeldBytesBudget(heldBytesBudget_);
  inbound->setStoredBeforeAnswerBudget(storedBeforeAnswerBudget_);
  inbound->setLinger(limits_.lingerAfterEnd);
  activeConnections_[sessionId] = inbound;
  beforeQuestion_[sessionId] = {std::make_shared<asio::steady_timer>(WorkerPool::shared().context()), socket};
  watchBeforeQuestion(sessionId, now + std::min(limits_.timeToQuestion, limits_.paceWindow));
  if (liveConnections_.size() >= livePruneSize_) {
    std::erase_if(liveConnections_, [](const LiveConnection& live) { return live.released(); });
    livePruneSize_ = std::max<std::size_t>(64, 2 * liveConnections_.size());
  }
  liveConnections_.push_back({inbound, std::move(socket)});
  inbound->start();
  Log::write("[ConnectionManager] New connection from " + remote);
}

// Its state tells how far it has come; its socket whether it has sent
// anything at all, and since when it has been silent.
UnansweredConnections::Standing ConnectionManager::standingOf(const Uuid& sessionId,
                                                              std::chrono::steady_clock::time_point now) const {
  auto connection = activeConnections_.find(sessionId);
  auto watched = beforeQuestion_.find(sessionId);
  if (connection == activeConnections_.end() || watched == beforeQuestion_.end()) return {};
  auto socket = watched->second.socket.lock();
  if (!socket) return {};
  auto progress = socket->receiveProgress();
  if (progress.bytes == 0) return {};
  return {std::max(progressOf(connection->second->state()), UnansweredConnections::Progress::inKeyExchange),
          now - progress.silentSince};
}

void ConnectionManager::watchBeforeQuestion(const Uuid& sessionId, std::chrono::steady_clock::time_point at) {
  auto& timer = beforeQuestion_.at(sessionId).timer;
  timer->expires_at(at);
  timer->async_wait([weakSelf = weak_from_this(), sessionId](std::error_code error) {
    if (error) return;  // the connection left before its time was up
    auto self = weakSelf.lock();
    if (!self) return;
    self->queue_->async([self, sessionId] { self->checkBeforeQuestion(sessionId); });
  });
}

// A connection must keep sending until its question, however long its offer
// takes to arrive: one silent too long, or far slower than any phone, goes.
void ConnectionManager::checkBeforeQuestion(const Uuid& sessionId) {
  auto watched = beforeQuestion_.find(sessionId);
  if (watched == beforeQuestion_.end()) return;
  const auto now = std::chrono::steady_clock::now();
  auto socket = watched->second.socket.lock();
  auto progress = socket ? socket->receiveProgress() : Connection::ReceiveProgress{0, now};
  auto watch = unanswered_.watch(sessionId, progress.bytes, progress.silentSince, now);
  if (watch.verdict == UnansweredConnections::Verdict::keep) return watchBeforeQuestion(sessionId, watch.nextCheck);
  beforeQuestion_.erase(watched);
  using std::chrono::duration_cast;
  using std::chrono::seconds;
  switch (watch.verdict) {
    case UnansweredConnections::Verdict::silent:
      dropConnection(sessionId, "it sent nothing for " +
                                    std::to_string(duration_cast<seconds>(limits_.timeToQuestion).count()) +
                                    " s before the question");
      break;
    case UnansweredConnections::Verdict::tooSlow:
      dropConnection(sessionId, "it sent less than " + std::to_string(limits_.leastPaceBeforeQuestion) +
                                    " bytes a second before the question");
      break;
    default: break;
  }
}

// On the manager's queue, for a connection before the question. The shell
// has not heard of it; once its sender is known, past the key exchange, it
// is told why as the connection closes.
void ConnectionManager::dropConnection(const Uuid& sessionId, const std::string& why) {
  auto found = activeConnections_.find(sessionId);
  if (found == activeConnections_.end()) return;
  Log::write("[ConnectionManager] Dropped connection " + sessionId.uuidString() + ": " + why);
  unanswered_.ending(sessionId);
  found->second->cut(why);
}

bool ConnectionManager::stopListening() {
  if (listener_) {
    listener_->cancel();
    listener_.reset();
  }
  listeningPort_.store(-1);

  // A connection is released once its platform connection dropped the
  // outstanding read, after the close ran on the connection's queue: then no
  // temporary file of it is left, and nothing of it outlives the process. A
  // socket whose connection is gone is cancelled itself, dropping the sends
  // that a peer which does not read would leave queued for ever.
  auto closing = std::make_shared<std::promise<std::vector<LiveConnection>>>();
  auto closed = closing->get_future();
  queue_->async([this, self = shared_from_this(), closing] {
    for (auto& live : liveConnections_) {
      if (auto connection = live.connection.lock()) {
        connection->close();
      } else if (auto socket = live.socket.lock()) {
        socket->cancel();
      }
    }
    activeConnections_.clear();
    for (auto& [sessionId, watched] : beforeQuestion_) watched.timer->cancel();
    beforeQuestion_.clear();
    closing->set_value(std::exchange(liveConnections_, {}));
  });
  const auto deadline = std::chrono::steady_clock::now() + closeWaitLimit;
  if (closed.wait_until(deadline) != std::future_status::ready) return false;
  auto connections = closed.get();
  auto released = [](const LiveConnection& live) { return live.released(); };
  while (!std::all_of(connections.begin(), connections.end(), released)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void ConnectionManager::acceptTransfer(const TransferRequest& request) {
  queue_->async([this, self = shared_from_this(), sessionId = request.sessionId, offer = request.offerNumber] {
    auto found = activeConnections_.find(sessionId);
    if (found == activeConnections_.end()) return;
    unanswered_.answered(sessionId, offer, true);
    found->second->acceptTransfer(offer);
  });
}

// A decline that the connection carries out closes it, and the close removes
// it; one given to an offer the sender has replaced must leave it here, or
// the answer to the offer now on screen would find no connection. Its place
// among the waiting questions is free at once, however long it takes to end.
void ConnectionManager::declineTransfer(const TransferRequest& request) {
  queue_->async([this, self = shared_from_this(), sessionId = request.sessionId, offer = request.offerNumber] {
    auto found = activeConnections_.find(sessionId);
    if (found == activeConnections_.end()) return;
    unanswered_.answered(sessionId, offer, false);
    found->second->declineTransfer(offer);
  });
}

std::optional<std::uint16_t> ConnectionManager::listeningPort() const {
  auto port = listeningPort_.load();
  if (port < 0) return std::nullopt;
  return static_cast<std::uint16_t>(port);
}

std::vector<Uuid> ConnectionManager::activeSessionIds() const {
  std::promise<std::vector<Uuid>> answer;
  auto result = answer.get_future();
  queue_->async([this, self = shared_from_this(), &answer] {
    std::vector<Uuid> ids;
    for (auto& [sessionId, connection] : activeConnections_) ids.push_back(sessionId);
    answer.set_value(std::move(ids));
  });
  return result.get();
}

// An offer past the bound of waiting questions is declined at once: what
// unanswered offers may hold stays bounded for the receiver as a whole.
void ConnectionManager::connectionDidReceiveTransferRequest(InboundConnection& connection,
                                                            const TransferRequest& request) {
  auto refusal = unanswered_.enterQuestion(connection.sessionId(), request.offerNumber);
  if (refusal != UnansweredConnections::Refusal::none) {
    auto reason = refusal == UnansweredConnections::Refusal::tooManyWaiting
                      ? std::to_string(limits_.mostWaitingQuestions) + " transfers are already waiting for an answer"
                      : std::to_string(limits_.mostWaitingQuestionsPerAddress) +
                            " transfers from its address are already waiting for an answer";
    Log::write("[ConnectionManager] Declined the transfer from " + request.senderName + ": " + reason);
    connection.declineTransfer(request.offerNumber);
    forward([request, reason](ConnectionManagerDelegate& delegate, ConnectionManager& manager) {
      delegate.connectionManagerDidRefuseTransfer(manager, request, reason);
    });
    return;
  }
  forward([request](ConnectionManagerDelegate& delegate, ConnectionManager& manager) {
    delegate.connectionManagerDidReceiveTransferRequest(manager, request);
  });
}

void ConnectionManager::connectionDidCompleteTransfer(InboundConnection& connection, const TransferSession& session) {
  removeConnection(connection.sessionId());
  forward([session](ConnectionManagerDelegate& delegate, ConnectionManager& manager) {
    delegate.connectionManagerDidCompleteTransfer(manager, session);
  });
}

void ConnectionManager::connectionDidFail(InboundConnection& connection, const EngineError& error) {
  TransferSession session{connection.sessionId(), connection.senderName().value_or("Unknown"), {}, {},
                          TransferState::failed, connection.unsavedFile()};
  removeConnection(connection.sessionId());
  forward([session, error](ConnectionManagerDelegate& delegate, ConnectionManager& manager) {
    delegate.connectionManagerDidFailTransfer(manager, session, error);
  });
  reportCut(connection);
}

// The shell is told only when the sender left a request it knows of, so that
// it takes back the question or tells the user.
void ConnectionManager::connectionDidClose(InboundConnection& connection) {
  removeConnection(connection.sessionId());
  reportCut(connection);
  auto state = connection.state();
  if (state != InboundConnection::State::pendingAcceptance && state != InboundConnection::State::transferring) return;
  TransferSession session{connection.sessionId(), connection.senderName().value_or("Unknown"), {}, {},
                          TransferState::cancelled};
  forward([session](ConnectionManagerDelegate& delegate, ConnectionManager& manager) {
    delegate.connectionManagerDidCancelTransfer(manager, session);
  });
}

// A connection past its key exchange that the receiver closed before its
// question, whether it failed or was dropped, is told of once.
void ConnectionManager::reportCut(InboundConnection& connection) {
  auto why = connection.takeCutBeforeQuestion();
  if (!why) return;
  auto name = connection.senderName().value_or("");
  if (name.empty()) name = "Unknown";
  forward([name, why = *why](ConnectionManagerDelegate& delegate, ConnectionManager& manager) {
    delegate.connectionManagerDidCutConnection(manager, name, why);
  });
}

void ConnectionManager::removeConnection(const Uuid& sessionId) {
  queue_->async([this, self = shared_from_this(), sessionId] {
    activeConnections_.erase(sessionId);
    unanswered_.leave(sessionId);
    if (auto watched = beforeQuestion_.extract(sessionId)) watched.mapped().timer->cancel();
  });
}

void ConnectionManager::forward(std::function<void(ConnectionManagerDelegate&, ConnectionManager&)> call) {
  // Posted straight from the connection's queue, so the main loop sees one
  // connection's reports in the order it made them.
  MainLoop::shared().async([self = shared_from_this(), call = std::move(call)] {
    if (auto delegate = self->delegate_.lock()) call(*delegate, *self);
  });
}

}  // namespace orvel
