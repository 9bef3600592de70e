#pragma once

#include <string>
#include <utility>
#include <vector>

#include "services/NotificationHandler.h"

namespace orvel::test {

// Records what the user would be shown and keeps the decisions, to answer by hand.
class FakeNotificationHandler : public NotificationHandler {
 public:
  void showTransferRequest(const TransferRequest& request, Decision decision) override {
    asked.push_back(request);
    decisions.push_back(std::move(decision));
  }
  void withdrawTransferRequest(const Uuid& sessionId, Withdrawal why) override {
    withdrawn.emplace_back(sessionId, why);
  }
  void showTransferComplete(const TransferSession& session) override { completed.push_back(session); }
  void showStatus(const std::string& text) override { statuses.push_back(text); }

  std::vector<TransferRequest> asked;
  std::vector<Decision> decisions;
  std::vector<std::pair<Uuid, Withdrawal>> withdrawn;
  std::vector<TransferSession> completed;
  std::vector<std::string> statuses;
};

}  // namespace orvel::test
