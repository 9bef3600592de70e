#pragma once

#include "network/EngineError.h"
#include "storage/TransferRequest.h"
#include "storage/TransferSession.h"

namespace orvel {

class ConnectionManager;

// How the engine reports to the shell. Every call is made on the main loop, in
// the order in which the connection reported it.
class ConnectionManagerDelegate {
 public:
  virtual ~ConnectionManagerDelegate() = default;
  virtual void connectionManagerDidReceiveTransferRequest(ConnectionManager& manager,
                                                          const TransferRequest& request) = 0;
  virtual void connectionManagerDidCompleteTransfer(ConnectionManager& manager, const TransferSession& session) = 0;
  virtual void connectionManagerDidFailTransfer(ConnectionManager& manager, const TransferSession& session,
                                                const EngineError& error) = 0;
};

}  // namespace orvel
