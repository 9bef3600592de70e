#pragma once

#include <string>

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
  // The sender went away without an error (closed the stream, DISCONNECTION,
  // Sharing CANCEL) while its request was being asked or received; the
  // session is in state cancelled. A shell that asks nobody may ignore it.
  virtual void connectionManagerDidCancelTransfer(ConnectionManager& /*manager*/, const TransferSession& /*session*/) {}
  // The request was declined without asking: too many offers already wait
  // for an answer. `reason` says so in a few words.
  virtual void connectionManagerDidRefuseTransfer(ConnectionManager& /*manager*/, const TransferRequest& /*request*/,
                                                  const std::string& /*reason*/) {}
  // A connection past its key exchange was closed by the receiver before its
  // offer was put to the user: past its time, to make room, or past a bound
  // on what it may hold or offer. `reason` says why in a few words. Once per
  // connection, after any failure report of it.
  virtual void connectionManagerDidCutConnection(ConnectionManager& /*manager*/, const std::string& /*senderName*/,
                                                 const std::string& /*reason*/) {}
};

}  // namespace orvel
