#include "platform/TcpConnection.h"

#include <algorithm>
#include <asio/bind_executor.hpp>
#include <asio/completion_condition.hpp>
#include <asio/post.hpp>
#include <asio/read.hpp>
#include <asio/strand.hpp>
#include <asio/write.hpp>
#include <atomic>
#include <deque>
#include <utility>

namespace orvel {
namespace {

// More than any frame; a larger read grows its buffer as it goes.
constexpr std::size_t kLargestReservation = 8 * 1024 * 1024;

}  // namespace

class TcpConnection::Core : public std::enable_shared_from_this<Core> {
 public:
  explicit Core(asio::ip::tcp::socket socket)
      : socket_(std::move(socket)), strand_(asio::make_strand(socket_.get_executor())) {
    std::error_code error;
    auto endpoint = socket_.remote_endpoint(error);
    remote_ = error ? std::string("unknown") : describeEndpoint(endpoint);
  }

  const std::string& remote() const { return remote_; }

  void setStateUpdateHandler(StateUpdateHandler handler) {
    onStrand([handler = std::move(handler)](Core& core) mutable { core.stateHandler_ = std::move(handler); });
  }

  void start(std::shared_ptr<SerialQueue> queue) {
    onStrand([queue = std::move(queue)](Core& core) mutable {
      if (core.closed_) return;
      core.queue_ = std::move(queue);
      std::error_code error;
      core.socket_.set_option(asio::ip::tcp::no_delay(true), error);
      core.reportState(error ? State::failed : State::ready, error);
    });
  }

  void receive(std::size_t minimumLength, std::size_t maximumLength, ReceiveCompletion completion) {
    onStrand([minimumLength, maximumLength, completion = std::move(completion)](Core& core) mutable {
      if (core.closed_) return;
      // The system reports the end of the stream once; later reads would wait forever.
      if (core.readEnded_ || maximumLength == 0) {
        core.deliver([completion = std::move(completion), ended = core.readEnded_] {
          completion(ended ? std::nullopt : std::optional<Bytes>(Bytes{}), ended, {});
        });
        return;
      }
      // Room for the whole read is reserved at once, so that arrived bytes are
      // never moved as the buffer grows. A peer that announces much and sends
      // little still costs little: the reserved pages are only touched as
      // bytes arrive (the dynamic buffer readies at most 64 KiB ahead).
      auto buffer = std::make_shared<Bytes>();
      buffer->reserve(std::min(maximumLength, kLargestReservation));
      auto atLeast = std::clamp<std::size_t>(minimumLength, 1, maximumLength);
      asio::async_read(core.socket_, asio::dynamic_buffer(*buffer, maximumLength), asio::transfer_at_least(atLeast),
                       asio::bind_executor(core.strand_, [self = core.shared_from_this(), buffer,
                                                          completion = std::move(completion)](
                                                             std::error_code error, std::size_t length) mutable {
                         self->finishReceive(std::move(buffer), length, error, std::move(completion));
                       }));
    });
  }

  void send(Bytes content, SendCompletion completion) {
    onStrand([content = std::move(content), completion = std::move(completion)](Core& core) mutable {
      if (core.closed_) return;
      core.pendingSends_.emplace_back(std::move(content), std::move(completion));
      if (!core.writing_) core.writeNext();
    });
  }

  // `report`: whether the owner hears of it (not when the handle is dropped).
  void close(bool report) {
    cancelled_ = true;
    onStrand([report](Core& core) {
      if (core.closed_) return;
      core.closed_ = true;
      std::error_code ignored;
      core.socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
      core.socket_.close(ignored);
      core.pendingSends_.clear();
      if (report && core.queue_ && core.stateHandler_) {
        core.queue_->async([handler = core.stateHandler_] { handler(State::cancelled, {}); });
      }
    });
  }

 private:
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

  void finishReceive(std::shared_ptr<Bytes> buffer, std::size_t length, std::error_code error,
                     ReceiveCompletion completion) {
    const bool ended = error == asio::error::eof;
    if (error && !ended) {
      deliver([completion = std::move(completion), error] { completion(std::nullopt, false, error); });
      return;
    }
    readEnded_ = ended;
    buffer->resize(length);
    std::optional<Bytes> content;
    if (length > 0) content = std::move(*buffer);
    deliver([completion = std::move(completion), content = std::move(content), ended]() mutable {
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
    auto completion = std::move(pendingSends_.front().second);
    pendingSends_.pop_front();
    if (completion) deliver([completion = std::move(completion), error] { completion(error); });
    if (!pendingSends_.empty()) writeNext();
  }

  asio::ip::tcp::socket socket_;
  asio::strand<asio::ip::tcp::socket::executor_type> strand_;
  std::string remote_;
  std::atomic<bool> cancelled_ = false;  // set at once by close(), checked on the owner's queue

  // Confined to the strand.
  std::shared_ptr<SerialQueue> queue_;
  StateUpdateHandler stateHandler_;
  bool closed_ = false;
  bool writing_ = false;
  bool readEnded_ = false;
  std::deque<std::pair<Bytes, SendCompletion>> pendingSends_;
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

std::string TcpConnection::remoteEndpointDescription() const { return core_->remote(); }

std::string describeEndpoint(const asio::ip::tcp::endpoint& endpoint) {
  auto address = endpoint.address();
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
  }
  auto port = std::to_string(endpoint.port());
  return address.is_v6() ? "[" + address.to_string() + "]:" + port : address.to_string() + ":" + port;
}

}  // namespace orvel
