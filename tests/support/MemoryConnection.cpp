#include "support/MemoryConnection.h"

#include <algorithm>

namespace orvel::test {

void MemoryConnection::start(std::shared_ptr<SerialQueue> queue) { queue_ = std::move(queue); }

void MemoryConnection::post(std::function<void()> work) { queue_->async(std::move(work)); }

void MemoryConnection::report(State state, std::error_code error) {
  post([self = shared_from_this(), state, error] {
    if (self->stateHandler_) self->stateHandler_(state, error);
  });
}

void MemoryConnection::receive(std::size_t minimumIncompleteLength, std::size_t maximumLength,
                               ReceiveCompletion completion) {
  if (cancelled_) {
    events.push_back("receiveAfterCancel");
    post([completion = std::move(completion)] {
      completion(std::nullopt, false, std::make_error_code(std::errc::operation_canceled));
    });
    return;
  }
  pending_ = PendingReceive{minimumIncompleteLength, maximumLength, std::move(completion)};
  deliver();
}

void MemoryConnection::deliver() {
  if (!pending_) return;
  auto completion = std::move(pending_->completion);
  if (failure_) {
    pending_.reset();
    post([completion = std::move(completion), error = failure_] { completion(std::nullopt, false, error); });
  } else if (incoming_.size() >= pending_->minimum) {
    std::size_t length = std::min(pending_->maximum, incoming_.size());
    Bytes content(incoming_.begin(), incoming_.begin() + static_cast<std::ptrdiff_t>(length));
    incoming_.erase(incoming_.begin(), incoming_.begin() + static_cast<std::ptrdiff_t>(length));
    bool isComplete = streamEnded_ && incoming_.empty();
    pending_.reset();
    post([completion = std::move(completion), content = std::move(content), isComplete]() mutable {
      completion(std::move(content), isComplete, {});
    });
  } else if (streamEnded_) {
    std::optional<Bytes> content;
    if (!incoming_.empty()) content = std::move(incoming_);
    incoming_.clear();
    pending_.reset();
    post([completion = std::move(completion), content = std::move(content)]() mutable {
      completion(std::move(content), true, {});
    });
  } else {
    pending_->completion = std::move(completion);
  }
}

void MemoryConnection::send(Bytes content, SendCompletion completion) {
  if (cancelled_) {
    events.push_back("sendAfterCancel");
    return;
  }
  events.push_back("send");
  sent_.insert(sent_.end(), content.begin(), content.end());
  std::function<void()> done = [self = shared_from_this(), completion = std::move(completion), error = sendError] {
    self->events.push_back("sent");
    if (completion) completion(error);
  };
  if (holdSends) {
    heldCompletions_.push_back(std::move(done));
  } else {
    post(std::move(done));
  }
}

void MemoryConnection::releaseSends() {
  for (auto& done : heldCompletions_) post(std::move(done));
  heldCompletions_.clear();
  if (cancelWhenSent_) {
    post([self = shared_from_this()] {
      if (!self->cancelled_) self->cancel();
    });
  }
}

void MemoryConnection::cancelAfterSends(std::chrono::steady_clock::duration) {
  if (cancelled_) return;
  if (heldCompletions_.empty()) return cancel();
  cancelWhenSent_ = true;
}

void MemoryConnection::cancel() {
  events.push_back("cancel");
  ++cancelCount_;
  if (cancelled_) return;
  cancelled_ = true;
  heldCompletions_.clear();  // as on a socket, sends that have not left never complete
  report(State::cancelled, {});
  if (pending_) {
    auto completion = std::move(pending_->completion);
    pending_.reset();
    post([completion = std::move(completion)] {
      completion(std::nullopt, false, std::make_error_code(std::errc::operation_canceled));
    });
  }
}

void MemoryConnection::push(ByteView bytes) {
  progress_.bytes += bytes.size();
  if (!bytes.empty()) progress_.silentSince = std::chrono::steady_clock::now();
  incoming_.insert(incoming_.end(), bytes.begin(), bytes.end());
  deliver();
}

void MemoryConnection::endStream() {
  streamEnded_ = true;
  deliver();
}

void MemoryConnection::fail(std::error_code error) {
  failure_ = error;
  report(State::failed, error);
  deliver();
}

std::vector<Bytes> MemoryConnection::sentFrames() const { return splitFrames(sent_); }

std::vector<Bytes> MemoryConnection::takeSentFrames() {
  auto frames = sentFrames();
  std::vector<Bytes> fresh(frames.begin() + static_cast<std::ptrdiff_t>(std::min(taken_, frames.size())), frames.end());
  taken_ = frames.size();
  return fresh;
}

std::vector<Bytes> splitFrames(ByteView stream) {
  std::vector<Bytes> frames;
  std::size_t position = 0;
  while (stream.size() - position >= 4) {
    const std::size_t length = fromBigEndian32(stream.subspan(position));
    if (stream.size() - position - 4 < length) break;
    frames.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(position + 4),
                        stream.begin() + static_cast<std::ptrdiff_t>(position + 4 + length));
    position += 4 + length;
  }
  return frames;
}

Bytes framed(ByteView body) {
  const auto prefix = bigEndian32(static_cast<std::uint32_t>(body.size()));
  Bytes bytes(prefix.begin(), prefix.end());
  bytes.insert(bytes.end(), body.begin(), body.end());
  return bytes;
}

}  // namespace orvel::test
