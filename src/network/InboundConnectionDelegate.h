#pragma once

#include "network/EngineError.h"
#include "storage/TransferRequest.h"
#include "storage/TransferSession.h"

namespace orvel {

class InboundConnection;

// How a connection reports to its owner. Every call is made on the reporting
// connection's own queue.
class InboundConnectionDelegate {
 public:
  virtual ~InboundConnectionDelegate() = default;
  virtual void connectionDidReceiveTransferRequest(InboundConnection& connection, const TransferRequest& request) = 0;
  virtual void connectionDidCompleteTransfer(InboundConnection& connection, const TransferSession& session) = 0;
  virtual void connectionDidFail(InboundConnection& connection, const EngineError& error) = 0;
  virtual void connectionDidClose(InboundConnection& connection) = 0;
};

}  // namespace orvel
