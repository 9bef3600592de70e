#pragma once

#include <functional>
#include <string>

#include "platform/Uuid.h"
#include "storage/TransferRequest.h"
#include "storage/TransferSession.h"

namespace orvel {

// Where the user is asked and told: the decision on each incoming transfer,
// its completion, and the few status lines the user needs. Main loop only.
class NotificationHandler {
 public:
  // Receives the user's answer (true: accept), once, on the main loop.
  using Decision = std::function<void(bool accepted)>;

  // Why a question is taken back.
  enum class Withdrawal { ended, cancelled };

  virtual ~NotificationHandler() = default;
  // Asks about one request; requests are asked one at a time, in arrival order.
  // A request under the session id of a question not yet answered replaces
  // that question in its place: the old decision is never called.
  virtual void showTransferRequest(const TransferRequest& request, Decision decision) = 0;
  // The request went away (it ended, or the sender cancelled it): its
  // question is taken back and its decision is never called.
  virtual void withdrawTransferRequest(const Uuid& sessionId, Withdrawal why) = 0;
  virtual void showTransferComplete(const TransferSession& session) = 0;
  virtual void showStatus(const std::string& text) = 0;
};

}  // namespace orvel
