#pragma once

#include <asio/steady_timer.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>

#include "services/Analytics.h"
#include "services/ConnectionManager.h"
#include "services/ConnectionManagerDelegate.h"
#include "services/NotificationHandler.h"

namespace orvel {

// The shell's side of each transfer: asks the user about every incoming
// request, carries the answer back to the engine, and tells of completions.
// Main loop only.
class TransferCoordinator final : public ConnectionManagerDelegate,
                                  public std::enable_shared_from_this<TransferCoordinator> {
 public:
  // Lines on connections closed before their question: at most this many
  // in each `cutLineWindow`; the rest are counted and told in one line when
  // it ends, so that a flood of them cannot fill the screen.
  static constexpr std::size_t mostCutLines = 3;

  static std::shared_ptr<TransferCoordinator> create(
      std::shared_ptr<NotificationHandler> notifications, Analytics& analytics = Analytics::shared(),
      std::chrono::steady_clock::duration cutLineWindow = std::chrono::minutes(1));

  void connectionManagerDidReceiveTransferRequest(ConnectionManager& manager, const TransferRequest& request) override;
  void connectionManagerDidCompleteTransfer(ConnectionManager& manager, const TransferSession& session) override;
  void connectionManagerDidFailTransfer(ConnectionManager& manager, const TransferSession& session,
                                        const EngineError& error) override;
  void connectionManagerDidCancelTransfer(ConnectionManager& manager, const TransferSession& session) override;
  void connectionManagerDidRefuseTransfer(ConnectionManager& manager, const TransferRequest& request,
                                          const std::string& reason) override;
  void connectionManagerDidCutConnection(ConnectionManager& manager, const std::string& senderName,
                                         const std::string& reason) override;

 private:
  struct Private {};

 public:
  TransferCoordinator(Private, std::shared_ptr<NotificationHandler> notifications, Analytics& analytics,
                      std::chrono::steady_clock::duration cutLineWindow);

 private:
  struct PendingRequest {
    TransferRequest request;
    bool accepted = false;
  };

  void handleDecision(const Uuid& sessionId, std::uint64_t offerNumber, bool accepted);
  std::optional<PendingRequest> forgetRequest(const Uuid& sessionId);
  void openCutLineWindow();
  void closeCutLineWindow();

  const std::shared_ptr<NotificationHandler> notifications_;
  Analytics& analytics_;
  std::weak_ptr<ConnectionManager> connectionManager_;
  std::unordered_map<Uuid, PendingRequest> pendingRequests_;
  const std::chrono::steady_clock::duration cutLineWindow_;
  std::unique_ptr<asio::steady_timer> cutLineWindowEnd_;  // while a window is open
  std::size_t cutLinesShown_ = 0;                         // in the open window
  std::size_t cutLinesHeld_ = 0;
};

}  // namespace orvel
