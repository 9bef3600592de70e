#include "platform/TcpConnection.h"

#include <algorithm>
#include <asio/bind_executor.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <asio/write.hpp>
#include <atomic>
#include <deque>
#include <memory>
#include <optional>
#include <utility>

namespace orvel {
namespace {

// A small receive (a length prefix) reads up to this much, so that the
// following receives are mostly served without the socket.
constexpr std::size_t kReadAheadSize = 64 * 1024;
// What may wait to be sent, whichever comes first: a peer that reads what it
// is sent never leaves this much behind, one that does not costs no more.
constexpr std::size_t kMostQueuedSends = 256;
constexpr std::size_t kMostQueuedBytes = 1024 * 1024;
using Clock = std::chrono::steady_clock;

}  // namespace

class TcpConnection::Core : public std::enable_shared_from_this<Core> {
 public:
  explicit Core(asio::ip::tcp::socket socket)
      : socket_(std::move(socket)), strand_(asio::make_strand(socket_.get_executor())) {
    std::error_code error;
    auto endpoint = socket_.remote_endpoint(error);
    remote_ = error ? std::string("unknown") : describeEndpoint(endpoint);
    // Receives read on the strand until the socket runs dry, then wait.
    socket_.non_blocking(true, setupError_);
  }

  const std::string& remote() const { return remote_; }

  // Between receives the engine works on what came: the peer is not silent then.
  ReceiveProgress receiveProgress() const {
    const auto bytes = bytesReceived_.load(std::memory_order_relaxed);
    if (!receiving_.load(std::memory_order_relaxed)) return {bytes, Clock::now()};
    return {bytes, Clock::time_point(Clock::duration(silentSince_.load(std::memory_order_relaxed)))};
  }

  void setStateUpdateHandler(StateUpdateHandler handler) {
    onStrand([handler = std::move(handler)](Core& core) mutable { core.stateHandler_ = std::move(handler); });
  }

  void start(std::shared_ptr<SerialQueue> queue) {
    onStrand([queue = std::move(queue)](Core& core) mutable {
      if (core.closed_) return;
      core.queue_ = std::move(queue);
      std::error_code error = core.setupError_;
      if (!error) core.socket_.set_option(asio::ip::tcp::no_delay(true), error);
      core.reportState(error ? State::failed : State::ready, error);
    });
  }

  void receive(std::size_t minimumLength, std::size_t maximumLength, ReceiveCompletion completion) {
    markNotSilent();  // the peer's turn starts now
    receiving_.store(true, std::memory_order_relaxed);
    onStrand([minimumLength, maximumLength, completion = std::move(completion)](Core& core) mutable {
      if (core.closed_) return;
      if (maximumLength == 0) {
        core.receiving_.store(false, std::memory_order_relaxed);
        core.deliver([completion = std::move(completion), ended = core.endReached()] {
          completion(ended ? std::nullopt : std::optional<Bytes>(Bytes{}), ended, {});
        });
        return;
      }
      core.pending_ = PendingReceive{std::clamp<std::size_t>(minimumLength, 1, maximumLength), maximumLength, {},
                                     std::move(completion)};
      core.makeRoomForWhatArrived();
      core.takeReadAhead();
      core.continueReceive();
    });
  }

  void send(Bytes content, SendCompletion completion) {
    onStrand([content = std::move(content), completion = std::move(completion)](Core& core) mutable {
      if (core.closed_) return;
      if (core.pendingSends_.size() >= kMostQueuedSends || core.queuedBytes_ >= kMostQueuedBytes) {
        core.sendRefused_ = true;
      }
      // Once one send is refused every later one is too: the stream cannot
      // leave out a message and go on.
      if (core.sendRefused_) {
        if (completion) {
          core.deliver([completion = std::move(completion)] {
            completion(std::make_error_code(std::errc::no_buffer_space));
          });
        }
        return;
      }
      core.queuedBytes_ += content.size();
      core.pendingSends_.emplace_back(std::move(content), std::move(completion));
      if (!core.writing_) core.writeNext();
    });
  }

  void closeAfterSends(std::chrono::steady_clock::duration linger) {
    onStrand([linger](Core& core) {
      if (core.closed_ || core.lingerTimer_) return;
      if (core.pendingSends_.empty()) return core.close(true);
      core.lingerTimer_.emplace(core.socket_.get_executor(), linger);
      core.lingerTimer_->async_wait(
          asio::bind_executor(core.strand_, [self = core.shared_from_this()](std::error_code error) {
            if (!error) self->close(true);
          }));
    });
  }

  // `report`: whether the owner hears of it (not when the handle is dropped).
  void close(bool report) {
    cancelled_ = true;
    onStrand([report](Core& core) {
      if (core.closed_) return;
      core.closed_ = true;
      if (core.lingerTimer_) core.lingerTimer_->cancel();
      std::error_code ignored;
      core.socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
      core.socket_.close(ignored);
      core.pendingSends_.clear();
      core.queuedBytes_ = 0;
      core.pending_.reset();
      core.releaseReadAhead();
      if (report && core.queue_ && core.stateHandler_) {
        core.queue_->async([handler = core.stateHandler_] { handler(State::cancelled, {}); });
      }
    });
  }

 private:
  struct PendingReceive {
    std::size_t minimumLength;
    std::size_t maximumLength;
    Bytes content;
    ReceiveCompletion completion;
  };

  template <class Work>
  void onStrand(Work work) {
    asio::post(strand_, [self = shared_from_this(), work = std::move(work)]() mutable { work(*self); });
  }

  // Runs `report` on the owner's queue unless the connection was cancelled by then.
  void deliver(std::function<void()> report) {
    if (!queue_) return;
    queue_->async([self = shared_from_this(), report = std::move(report)] {
      if (!self->cancelled_) report();
    });
  }

  void reportState(State state, std::error_code error) {
    if (!stateHandler_) return;
    deliver([handler = stateHandler_, state, error] { handler(state, error); });
  }

  bool endReached() const { return readEnded_ && readAheadBegin_ == readAheadEnd_; }

  void releaseReadAhead() {
    readAhead_.reset();
    readAheadBegin_ = readAheadEnd_ = 0;
  }

  // Moves what the read-ahead holds, up to what the pending receive still takes.
  void takeReadAhead() {
    auto& content = pending_->content;
    auto count = std::min(readAheadEnd_ - readAheadBegin_, pending_->maximumLength - content.size());
    if (count == 0) return;  // also when no buffer is held
    makeRoom(content.size() + count);
    content.insert(content.end(), readAhead_.get() + readAheadBegin_, readAhead_.get() + readAheadBegin_ + count);
    readAheadBegin_ += count;
  }

  // Reads on the strand for as long as the socket has bytes, so that a frame
  // usually costs one hop here and one to the owner's queue.
  void continueReceive() {
    if (setupError_) return finishReceive(setupError_);  // a blocking read would stall the strand
    while (pending_->content.size() < pending_->minimumLength && !readEnded_) {
      std::error_code error;
      auto missing = pending_->maximumLength - pending_->content.size();
      auto ready = missing < kReadAheadSize ? 0 : socket_.available(error);
      if (!error && ready >= kReadAheadSize) {
        readIntoContent(std::min(ready, missing), error);
      } else if (!error) {
        readIntoReadAhead(error);
        takeReadAhead();
      }
      if (error == asio::error::would_block || error == asio::error::try_again) {
        releaseReadAhead();  // empty now: a connection waiting for its sender holds no buffer
        return waitUntilReadable();
      }
      if (error == asio::error::eof) {
        readEnded_ = true;  // the system reports it once; later reads would wait forever
      } else if (error) {
        return finishReceive(error);
      }
    }
    finishReceive({});
  }

  // Small receives, and large ones while little has arrived, read through
  // here; it is empty whenever a receive still lacks bytes.
  void readIntoReadAhead(std::error_code& error) {
    if (!readAhead_) readAhead_ = std::make_unique_for_overwrite<std::uint8_t[]>(kReadAheadSize);
    readAheadBegin_ = 0;
    readAheadEnd_ = socket_.read_some(asio::buffer(readAhead_.get(), kReadAheadSize), error);
    arrived(readAheadEnd_);
  }

  void arrived(std::size_t count) {
    if (count == 0) return;
    bytesReceived_.fetch_add(count, std::memory_order_relaxed);
    markNotSilent();
  }

  void markNotSilent() { silentSince_.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed); }

  // A receive's room grows with the bytes that arrived, never with what its
  // sender announced: doubling keeps the copies of a large receive linear,
  // and it never takes more than the receive may hold.
  void makeRoom(std::size_t needed) {
    auto& content = pending_->content;
    if (needed <= content.capacity()) return;
    content.reserve(std::min(std::max(needed, 2 * content.capacity()), pending_->maximumLength));
  }

  // What already waits, read ahead and in the socket, goes into one buffer
  // made at once, as a sender that keeps up sends a whole frame before it
  // is read.
  void makeRoomForWhatArrived() {
    std::error_code error;
    const auto waiting = readAheadEnd_ - readAheadBegin_ + socket_.available(error);
    makeRoom(std::min(waiting, pending_->maximumLength));
  }

  // Takes `count` bytes that have arrived straight into the content.
  void readIntoContent(std::size_t count, std::error_code& error) {
    auto& content = pending_->content;
    auto filled = content.size();
    makeRoom(filled + count);
    content.resize(filled + count);
    const auto read = socket_.read_some(asio::buffer(content.data() + filled, count), error);
    content.resize(filled + read);
    arrived(read);
  }

  void waitUntilReadable() {
    socket_.async_wait(asio::socket_base::wait_read,
                       asio::bind_executor(strand_, [self = shared_from_this()](std::error_code error) {
                         if (self->closed_ || !self->pending_) return;
                         if (error) return self->finishReceive(error);
                         self->continueReceive();
                       }));
  }

  void finishReceive(std::error_code error) {
    receiving_.store(false, std::memory_order_relaxed);
    auto receive = std::move(*pending_);
    pending_.reset();
    if (error) {
      deliver([completion = std::move(receive.completion), error] { completion(std::nullopt, false, error); });
      return;
    }
    std::optional<Bytes> content;
    if (!receive.content.empty()) content = std::move(receive.content);
    if (endReached()) releaseReadAhead();  // nothing more will come through it
    deliver([completion = std::move(receive.completion), content = std::move(content), ended = endReached()]() mutable {
      completion(std::move(content), ended, {});
    });
  }

  void writeNext() {
    writing_ = true;
    asio::async_write(socket_, asio::buffer(pendingSends_.front().first),
                      asio::bind_executor(strand_, [self = shared_from_this()](std::error_code error, std::size_t) {
                        self->finishWrite(error);
                      }));
  }

  void finishWrite(std::error_code error) {
    writing_ = false;
    if (closed_) return;  // the queue was cleared by close()
    queuedBytes_ -= pendingSends_.front().first.size();
    auto completion = std::move(pendingSends_.front().second);
    pendingSends_.pop_front();
    if (completion) deliver([completion = std::move(completion), error] { completion(error); });
    if (!pendingSends_.empty()) return writeNext();
    if (lingerTimer_) close(true);  // the last send has left
  }

  asio::ip::tcp::socket socket_;
  asio::strand<asio::ip::tcp::socket::executor_type> strand_;
  std::string remote_;
  std::error_code setupError_;
  std::atomic<bool> cancelled_ = false;  // set at once by close(), checked on the owner's queue
  // Written by receive() and on the strand, read from any thread.
  std::atomic<std::uint64_t> bytesReceived_ = 0;
  std::atomic<Clock::rep> silentSince_ = Clock::now().time_since_epoch().count();
  std::atomic<bool> receiving_ = false;

  // Confined to the strand.
  std::shared_ptr<SerialQueue> queue_;
  StateUpdateHandler stateHandler_;
  bool closed_ = false;
  bool writing_ = false;
  bool readEnded_ = false;
  std::optional<PendingReceive> pending_;
  // Bytes that arrived beyond a small receive: [readAheadBegin_, readAheadEnd_).
  std::unique_ptr<std::uint8_t[]> readAhead_;  // kReadAheadSize bytes while a receive reads
  std::size_t readAheadBegin_ = 0;
  std::size_t readAheadEnd_ = 0;
  std::deque<std::pair<Bytes, SendCompletion>> pendingSends_;
  std::size_t queuedBytes_ = 0;  // of pendingSends_
  bool sendRefused_ = false;
  std::optional<asio::steady_timer> lingerTimer_;  // set once the connection ends after its sends
};

std::shared_ptr<TcpConnection> TcpConnection::adopt(asio::ip::tcp::socket socket) {
  return std::shared_ptr<TcpConnection>(new TcpConnection(std::make_shared<Core>(std::move(socket))));
}

TcpConnection::TcpConnection(std::shared_ptr<Core> core) : core_(std::move(core)) {}

TcpConnection::~TcpConnection() { core_->close(false); }

void TcpConnection::setStateUpdateHandler(StateUpdateHandler handler) {
  core_->setStateUpdateHandler(std::move(handler));
}

void TcpConnection::start(std::shared_ptr<SerialQueue> queue) { core_->start(std::move(queue)); }

void TcpConnection::receive(std::size_t minimumIncompleteLength, std::size_t maximumLength,
                            ReceiveCompletion completion) {
  core_->receive(minimumIncompleteLength, maximumLength, std::move(completion));
}

void TcpConnection::send(Bytes content, SendCompletion completion) {
  core_->send(std::move(content), std::move(completion));
}

void TcpConnection::cancel() { core_->close(true); }

void TcpConnection::cancelAfterSends(std::chrono::steady_clock::duration linger) { core_->closeAfterSends(linger); }

std::string TcpConnection::remoteEndpointDescription() const { return core_->remote(); }

Connection::ReceiveProgress TcpConnection::receiveProgress() const { return core_->receiveProgress(); }

std::string describeEndpoint(const asio::ip::tcp::endpoint& endpoint) {
  auto address = endpoint.address();
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
  }
  // Appended, not prefixed: GCC 12 takes a text put in front of a string for an overlapping copy.
  std::string text = address.is_v6() ? "[" : "";
  text += address.to_string();
  text += address.is_v6() ? "]:" : ":";
  text += std::to_string(endpoint.port());
  return text;
}

}  // namespace orvel
