#include "services/TransferCoordinator.h"

#include "platform/Log.h"

namespace orvel {
namespace {

std::string describeFiles(const std::vector<FileMetadata>& files) {
  if (files.size() == 1) return files.front().name;
  return std::to_string(files.size()) + " files";
}

}  // namespace

std::shared_ptr<TransferCoordinator> TransferCoordinator::create(std::shared_ptr<NotificationHandler> notifications,
                                                                 Analytics& analytics) {
  return std::make_shared<TransferCoordinator>(Private{}, std::move(notifications), analytics);
}

TransferCoordinator::TransferCoordinator(Private, std::shared_ptr<NotificationHandler> notifications,
                                         Analytics& analytics)
    : notifications_(std::move(notifications)), analytics_(analytics) {}

void TransferCoordinator::connectionManagerDidReceiveTransferRequest(ConnectionManager& manager,
                                                                     const TransferRequest& request) {
  pendingRequests_.insert_or_assign(request.sessionId, request);
  connectionManager_ = manager.weak_from_this();
  Log::write("[TransferCoordinator] Incoming transfer from " + request.senderName + " (" +
             describeFiles(request.files) + ")");
  std::weak_ptr<TransferCoordinator> weakSelf = shared_from_this();
  notifications_->showTransferRequest(request, [weakSelf, sessionId = request.sessionId](bool accepted) {
    if (auto self = weakSelf.lock()) self->handleDecision(sessionId, accepted);
  });
}

void TransferCoordinator::handleDecision(const Uuid& sessionId, bool accepted) {
  // A request that failed or finished meanwhile takes no answer.
  auto found = pendingRequests_.find(sessionId);
  if (found == pendingRequests_.end()) return;
  auto manager = connectionManager_.lock();
  if (accepted) {
    Log::write("[TransferCoordinator] User accepted transfer " + sessionId.uuidString());
    if (manager) manager->acceptTransfer(sessionId);
    return;
  }
  // A declined connection closes without a further report: nothing else would forget it.
  pendingRequests_.erase(found);
  Log::write("[TransferCoordinator] User declined transfer " + sessionId.uuidString());
  if (manager) manager->declineTransfer(sessionId);
  analytics_.record("transfer_declined");
}

void TransferCoordinator::connectionManagerDidCompleteTransfer(ConnectionManager&, const TransferSession& session) {
  pendingRequests_.erase(session.id);
  notifications_->withdrawTransferRequest(session.id);
  std::int64_t totalBytes = 0;
  for (auto& file : session.files) totalBytes += file.size;
  analytics_.record("transfer_received", {{"file_count", session.files.size()},
                                          {"total_size_mb", static_cast<double>(totalBytes) / 1048576.0}});
  if (session.files.size() == 1) {
    Log::write("[TransferCoordinator] Transfer complete: " + session.files.front().name + " saved to Downloads");
  } else {
    Log::write("[TransferCoordinator] Transfer complete: " + std::to_string(session.files.size()) +
               " files saved to Downloads");
  }
  notifications_->showTransferComplete(session);
}

void TransferCoordinator::connectionManagerDidFailTransfer(ConnectionManager&, const TransferSession& session,
                                                           const EngineError& error) {
  pendingRequests_.erase(session.id);
  notifications_->withdrawTransferRequest(session.id);
  Log::write("[TransferCoordinator] Transfer failed from " + session.senderName + ": " + describe(error));
}

}  // namespace orvel
