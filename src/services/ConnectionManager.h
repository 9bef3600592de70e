#pragma once

#include <asio/steady_timer.hpp>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <system_error>
#include <unordered_map>
#include <vector>

#include "network/HeldBytesBudget.h"
#include "network/InboundConnectionDelegate.h"
#include "network/StoredBeforeAnswerBudget.h"
#include "platform/Connection.h"
#include "platform/SerialQueue.h"
#include "platform/TcpListener.h"
#include "platform/Uuid.h"
#include "services/ConnectionLimits.h"
#include "services/ConnectionManagerDelegate.h"
#include "services/UnansweredConnections.h"


namespace orvel {

// Owns the TCP listener and the registry of live connections, and stands
// between the connections and the shell. The registry is touched only on the
// manager's own queue; every report to the shell runs on the main loop, in
// the order in which the connection made it.
class ConnectionManager final : public InboundConnectionDelegate,
                                public std::enable_shared_from_this<ConnectionManager> {
 public:
  static constexpr std::uint16_t defaultPort = 8686;

  // `firstPort` is the port tried before the one the system chooses.
  static std::shared_ptr<ConnectionManager> create(std::uint16_t firstPort = defaultPort,
                                                   const ConnectionLimits& limits = {});

  // Both on the main thread, before startListening().
  void setDelegate(std::weak_ptr<ConnectionManagerDelegate> delegate);
  void setOnReady(std::function<void(std::uint16_t port)> onReady);

  // On the main thread. Throws std::system_error when no listener can be created.
  void startListening();
  // On the main thread: cancels the listener and closes every connection,
  // registered or not, and every socket one left behind, waiting (at most two
  // seconds) until each is released. Returns whether each was released in time.
  bool stopListening();
  // On the main thread, with the request the user answered; unknown sessions
  // are ignored, and so is an answer to an offer the sender has replaced. A
  // connection leaves the registry when it really ends, a decline included.
  void acceptTransfer(const TransferRequest& request);
  void declineTransfer(const TransferRequest& request);

  // Any thread. Set once the listener is ready; absent before and after stopListening().
  std::optional<std::uint16_t> listeningPort() const;
  // The registered sessions; waits for the manager's queue, so never call it from there.
  std::vector<Uuid> activeSessionIds() const;

  // InboundConnectionDelegate: on the reporting connection's queue.
  void connectionDidReceiveTransferRequest(InboundConnection& connection, const TransferRequest& request) override;
  void connectionDidCompleteTransfer(InboundConnection& connection, const TransferSession& session) override;
  void connectionDidFail(InboundConnection& connection, const EngineError& error) override;
  void connectionDidClose(InboundConnection& connection) override;

 private:
  struct Private {};

 public:
  ConnectionManager(Private, std::uint16_t firstPort, const ConnectionLimits& limits);
  ~ConnectionManager() override;

 private:
  void handleListenerState(TcpListener::State state, std::error_code error, std::optional<std::uint16_t> port);
  void handleNewConnection(std::shared_ptr<Connection> connection);
  void removeConnection(const Uuid& sessionId);
  void dropConnection(const Uuid& sessionId, const std::string& why);
  UnansweredConnections::Standing standingOf(const Uuid& sessionId, std::chrono::steady_clock::time_point now) const;
  void watchBeforeQuestion(const Uuid& sessionId, std::chrono::steady_clock::time_point at);
  void checkBeforeQuestion(const Uuid& sessionId);
  void reportCut(InboundConnection& connection);  // on the connection's queue
  // Calls the delegate on the main loop, if it is still alive then.
  void forward(std::function<void(ConnectionManagerDelegate&, ConnectionManager&)> call);

  const std::uint16_t firstPort_;
  const ConnectionLimits limits_;
  UnansweredConnections unanswered_;
  const std::shared_ptr<HeldBytesBudget> heldBytesBudget_;
  const std::shared_ptr<StoredBeforeAnswerBudget> storedBeforeAnswerBudget_;
  const std::shared_ptr<SerialQueue> queue_;
  std::atomic<std::int32_t> listeningPort_{-1};  // -1: none

  // Main thread only.
  std::weak_ptr<ConnectionManagerDelegate> delegate_;
  std::function<void(std::uint16_t)> onReady_;
  std::shared_ptr<TcpListener> listener_;

  // Every connection not yet released, registered or not: one that left the
  // registry lives on through its outstanding read, and its socket through the
  // sends still queued on it.
  struct LiveConnection {
    std::weak_ptr<InboundConnection> connection;
    std::weak_ptr<Connection> socket;
    bool released() const { return connection.expired() && socket.expired(); }
  };

  // The manager's queue only.
  std::unordered_map<Uuid, std::shared_ptr<InboundConnection>> activeConnections_;
  // Connections before the question, watched until they reach it.
  struct BeforeQuestion {
    std::shared_ptr<asio::steady_timer> timer;
    std::weak_ptr<Connection> socket;
  };
  std::unordered_map<Uuid, BeforeQuestion> beforeQuestion_;
  std::vector<LiveConnection> liveConnections_;  // pruned as it grows
  std::size_t livePruneSize_ = 64;
};

}  // namespace orvel
