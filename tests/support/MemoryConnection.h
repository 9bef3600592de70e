#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "platform/Connection.h"
#include "protocol/ByteHelpers.h"

namespace orvel::test {

// A Connection whose peer is the test: it pushes what the sender sends, ends
// the stream or fails the connection, and reads back what was sent. Every
// handler and completion goes through the queue given to start(), as the
// platform does. Single-threaded.
class MemoryConnection final : public Connection, public std::enable_shared_from_this<MemoryConnection> {
 public:
  // What the engine did to the connection, in order: "send", "sent" (its
  // completion ran), "cancel", "receiveAfterCancel".
  std::vector<std::string> events;

  // Sends complete at once (through the queue) unless held; held ones
  // complete on releaseSends(), or never once cancelled.
  bool holdSends = false;
  // The error every following send completes with.
  std::error_code sendError;

  void setStateUpdateHandler(StateUpdateHandler handler) override { stateHandler_ = std::move(handler); }
  void start(std::shared_ptr<SerialQueue> queue) override;
  void receive(std::size_t minimumIncompleteLength, std::size_t maximumLength, ReceiveCompletion completion) override;
  void send(Bytes content, SendCompletion completion) override;
  void cancel() override;
  // Cancels once the held sends are released; the linger never passes here.
  void cancelAfterSends(std::chrono::steady_clock::duration linger) override;
  std::string remoteEndpointDescription() const override { return "memory"; }
  // Counts what the peer pushed; silent since its last push, or since creation.
  ReceiveProgress receiveProgress() const override { return progress_; }

  // The peer's side.
  void becomeReady() { report(State::ready, {}); }
  void push(ByteView bytes);
  void endStream();
  // The platform reports the connection failed; a pending read fails too.
  void fail(std::error_code error);
  void releaseSends();

  // Everything sent, as one stream, and cut into frame bodies.
  const Bytes& sentBytes() const { return sent_; }
  std::vector<Bytes> sentFrames() const;
  // Frame bodies sent since the last call.
  std::vector<Bytes> takeSentFrames();

  bool isCancelled() const { return cancelled_; }
  bool hasPendingReceive() const { return pending_.has_value(); }
  std::size_t pendingReceiveMaximum() const { return pending_ ? pending_->maximum : 0; }
  int cancelCount() const { return cancelCount_; }

 private:
  struct PendingReceive {
    std::size_t minimum;
    std::size_t maximum;
    ReceiveCompletion completion;
  };
  void report(State state, std::error_code error);
  void deliver();
  void post(std::function<void()> work);

  std::shared_ptr<SerialQueue> queue_;
  StateUpdateHandler stateHandler_;
  std::optional<PendingReceive> pending_;
  Bytes incoming_;
  ReceiveProgress progress_{0, std::chrono::steady_clock::now()};
  bool streamEnded_ = false;
  std::error_code failure_;
  bool cancelled_ = false;
  bool cancelWhenSent_ = false;
  int cancelCount_ = 0;
  Bytes sent_;
  std::size_t taken_ = 0;
  std::vector<std::function<void()>> heldCompletions_;
};

// Cuts a stream of length-prefixed frames into their bodies; a trailing
// incomplete frame is left out.
std::vector<Bytes> splitFrames(ByteView stream);
// One frame with its length prefix.
Bytes framed(ByteView body);

}  // namespace orvel::test
