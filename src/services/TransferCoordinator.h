#pragma once

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
  static std::shared_ptr<TransferCoordinator> create(std::shared_ptr<NotificationHandler> notifications,
                                                     Analytics& analytics = Analytics::shared());

  void connectionManagerDidReceiveTransferRequest(ConnectionManager& manager, const TransferRequest& request) override;
  void connectionManagerDidCompleteTransfer(ConnectionManager& manager, const TransferSession& session) override;
  void connectionManagerDidFailTransfer(ConnectionManager& manager, const TransferSession& session,
                                        const EngineError& error) override;
  void connectionManagerDidCancelTransfer(ConnectionManager& manager, const TransferSession& session) override;
  void connectionManagerDidRefuseTransfer(ConnectionManager& manager, const TransferRequest& request,
                                          const std::string& reason) override;

 private:
  struct Private {};

 public:
  TransferCoordinator(Private, std::shared_ptr<NotificationHandler> notifications, Analytics& analytics);

 private:
  struct PendingRequest {
    TransferRequest request;
    bool accepted = false;
  };

  void handleDecision(const Uuid& sessionId, std::uint64_t offerNumber, bool accepted);
  std::optional<PendingRequest> forgetRequest(const Uuid& sessionId);

  const std::shared_ptr<NotificationHandler> notifications_;
  Analytics& analytics_;
  std::weak_ptr<ConnectionManager> connectionManager_;
  std::unordered_map<Uuid, PendingRequest> pendingRequests_;
};

}  // namespace orvel
