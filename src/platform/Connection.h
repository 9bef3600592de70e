#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include "platform/SerialQueue.h"
#include "protocol/ByteHelpers.h"

namespace orvel {

// One accepted TCP connection, as the engine sees it. The engine talks to the
// network only through this interface, so tests can drive it in memory.
// Every handler and completion runs on the queue given to start().
class Connection {
 public:
  enum class State { setup, preparing, waiting, ready, failed, cancelled };

  // `error` is set for failed (and may be for waiting).
  using StateUpdateHandler = std::function<void(State state, std::error_code error)>;
  // `content` holds what arrived (at most maximumLength bytes); it is shorter
  // than minimumIncompleteLength, or absent, only when the stream ended
  // (`isComplete`) or an error is set.
  using ReceiveCompletion = std::function<void(std::optional<Bytes> content, bool isComplete, std::error_code error)>;
  using SendCompletion = std::function<void(std::error_code error)>;
  // What the peer has sent so far, for judging from outside whether it keeps
  // up: a frame is read in one receive, however slowly its bytes come.
  struct ReceiveProgress {
    std::uint64_t bytes = 0;
    // The last arrival or the engine's last receive, whichever came later;
    // now while no receive waits: the engine, not the peer, is at work then.
    std::chrono::steady_clock::time_point silentSince;
  };

  virtual ~Connection() = default;

  virtual void setStateUpdateHandler(StateUpdateHandler handler) = 0;
  virtual void start(std::shared_ptr<SerialQueue> queue) = 0;
  // One outstanding receive at a time.
  virtual void receive(std::size_t minimumIncompleteLength, std::size_t maximumLength, ReceiveCompletion completion) = 0;
  // Sends the whole buffer; sends leave in call order. The completion may be empty.
  virtual void send(Bytes content, SendCompletion completion) = 0;
  // Ends the connection; the state handler then reports cancelled, once.
  virtual void cancel() = 0;
  // Ends it once every send made so far has left, or after `linger`,
  // whichever comes first: a peer that does not read cannot keep it.
  virtual void cancelAfterSends(std::chrono::steady_clock::duration linger) = 0;
  virtual std::string remoteEndpointDescription() const = 0;
  // Any thread.
  virtual ReceiveProgress receiveProgress() const = 0;
};

const char* toString(Connection::State state);

}  // namespace orvel
